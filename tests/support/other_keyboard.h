// A keyboard of its own for tests, as a person at the machine would have:
// a new master device, typed through its own XTEST device, so its keys come
// from a device other than the core XTEST keyboard that the host injects
// through. Header-only; needs libXi and libXtst.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace morvane::testing {

class OtherKeyboard {
public:
    explicit OtherKeyboard(const std::string& name = "fxtest") : d_(XOpenDisplay(nullptr)) {
        if (!d_) throw std::runtime_error("no X display");
        XIAddMasterInfo add{XIAddMaster, const_cast<char*>(name.c_str()), True, True};
        XIChangeHierarchy(d_, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
        XSync(d_, False);
        const std::string wanted = name + " XTEST keyboard";
        int count = 0, id = -1;
        XIDeviceInfo* devices = XIQueryDevice(d_, XIAllDevices, &count);
        for (int i = 0; i < count; ++i)
            if (wanted == devices[i].name) id = devices[i].deviceid;
        XIFreeDeviceInfo(devices);
        if (id != -1) device_ = XOpenDevice(d_, static_cast<XID>(id));
        if (!device_) {
            XCloseDisplay(d_);
            throw std::runtime_error("no keyboard of its own");
        }
    }
    ~OtherKeyboard() {
        XCloseDevice(d_, device_);
        XCloseDisplay(d_);
    }
    OtherKeyboard(const OtherKeyboard&) = delete;
    OtherKeyboard& operator=(const OtherKeyboard&) = delete;

    void key(KeySym symbol, bool down) {
        XTestFakeDeviceKeyEvent(d_, device_, XKeysymToKeycode(d_, symbol), down ? True : False, nullptr, 0, 0);
        XSync(d_, False);
    }
    // The same key through the core XTEST keyboard, as the host injects.
    void injected(KeySym symbol, bool down) {
        XTestFakeKeyEvent(d_, XKeysymToKeycode(d_, symbol), down ? True : False, 0);
        XSync(d_, False);
    }

private:
    Display* d_;
    XDevice* device_ = nullptr;
};

}  // namespace morvane::testing
