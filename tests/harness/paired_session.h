// Pairs a device with the test host by the code it prints, the way the page
// does, and opens the device's session. Header-only, for the harness tests
// and the benchmarks that drive the host.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "harness_process.h"
#include "ws_client.h"

namespace morvane::testing {

// The session's WebSocket once its token has been sent: the host's answer
// is the next text on it. Throws when the host gives no code or no token.
inline std::unique_ptr<WebSocket> pairedSession(HarnessProcess& host, const std::string& name) {
    host.command("pair");
    const auto code = host.waitLine("code ");
    if (!code) throw std::runtime_error("the host gave no pairing code");
    const std::string body = nlohmann::json{{"code", code->substr(5)}, {"name", name}}.dump();
    const std::string hostHeader = "127.0.0.1:" + std::to_string(host.port());
    Socket s(host.port());
    s.send("POST /api/pair HTTP/1.1\r\nHost: " + hostHeader + "\r\nOrigin: http://" + hostHeader +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body);
    const auto answer = s.readAll();
    const auto start = answer.find("\r\n\r\n");
    const auto token = nlohmann::json::parse(start == std::string::npos ? "" : answer.substr(start + 4), nullptr, false);
    if (!token.is_object() || !token.contains("token")) throw std::runtime_error("pairing failed: " + answer);
    auto ws = std::make_unique<WebSocket>(host.port());
    ws->sendText(nlohmann::json{{"t", "auth"}, {"token", token.value("token", "")}}.dump());
    return ws;
}

}  // namespace morvane::testing
