// What the targets that drive the real server give it: a device store in
// memory, stand-in screen, input and clipboard that write down what they are
// asked, files in memory (one to download), and the main and file queues.
#pragma once

#include <cstdint>
#include <memory>

#include "core/loop_executor.h"
#include "devices/device_store.h"
#include "server/remote_server.h"
#include "../tests/devices/test_support.h"
#include "../tests/server/server_fakes.h"
#include "../tests/transfer/memory_files.h"

namespace morvane::fuzz {

struct ServerStandIns {
    ServerStandIns() { files.outbox["notes.txt"] = testing::pattern(5000); }

    RemoteServer::Setup setup(std::uint16_t port) {
        RemoteServer::Setup s;
        s.port = port;
        s.store = &store;
        s.frames = &frames;
        s.input = &input;
        s.clipboard = &clipboard;
        s.files = &files;
        s.fileQueue = &fileQueue;
        s.mainQueue = &main;
        s.status = [] { return HostStatus{true}; };
        return s;
    }

    std::shared_ptr<testing::MemoryStorage> storage = std::make_shared<testing::MemoryStorage>();
    DeviceStore store{storage};
    testing::Journal journal;
    testing::FakeFrameSource frames{journal};
    testing::FakeInput input{journal};
    testing::FakeClipboard clipboard;
    testing::MemoryFiles files;
    LoopExecutor main{"main"};
    LoopExecutor fileQueue{"files"};
};

}  // namespace morvane::fuzz
