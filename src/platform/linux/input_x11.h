// Input injection into the X display through the XTEST extension. Events
// made here reach X clients as coming from the server's "XTEST" devices,
// which is how a listener tells them from the owner's own hands.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/display.h"
#include "core/executor.h"
#include "core/input_sink.h"
#include "input/input_backend.h"

namespace morvane {

// The backend alone, on the display named (empty: $DISPLAY). Nothing, with
// a log line, when the display or its XTEST extension is missing. Spare keys
// hold the `prepared` characters the layout lacks ahead of any text, as long
// as the backend lives (none given: the likely ones for the user's locales).
std::unique_ptr<InputBackend> makeX11InputBackend(std::function<void(const std::string&)> log,
                                                  const std::string& displayName = "",
                                                  std::optional<std::u32string> prepared = std::nullopt);

// The input sink for the application, carrying events out on `queue` (which
// must outlive it): `displayBounds` gives the global bounds of the display
// shown to the device, or nothing for the whole screen; `screenLocked`, asked
// on `queue`, whether the screen is locked as the host knows it.
std::unique_ptr<InputSink> makeX11Input(Executor& queue, std::function<std::optional<Rect>()> displayBounds,
                                        std::function<void(const std::string&)> log,
                                        const std::string& displayName = "",
                                        std::optional<std::u32string> prepared = std::nullopt,
                                        std::function<bool()> screenLocked = nullptr);

}  // namespace morvane
