// The host's side of holm-ctl: a thread that serves the control socket
// (control_protocol.h) while the plugins run, so that the main loop never
// waits for a client. Only root and the service's own user are served; any
// other user's connection gets a refusal and nothing else.
//
// Status answers come from the core's control object (common/host_control.h);
// a reload runs as HUP does (the service manager hears RELOADING=1, then
// READY=1) and the answer follows its end; a test step answers with each
// plugin's result. One client is served at a time; a client gets
// kClientTimeout to send its request and to take the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/host_control.h"
#include "hlmplg/core.h"
#include "platform/local_socket.h"
#include "platform/unique_handle.h"

namespace holm::product::host {

struct ControlHostInfo {
    // The plugin list as the host was given it.
    std::string list;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

class ControlServer {
  public:
    static constexpr std::chrono::seconds kClientTimeout{5};
    // A peer that is refused gets less time: one client is served at a
    // time, so a user who may not use the socket cannot hold it for long.
    static constexpr std::chrono::seconds kRefusedClientTimeout{1};
    // Refusals are logged once per interval at most, the next line giving
    // how many more there were: any local user can connect, and must not
    // be able to flood the service's log.
    static constexpr std::chrono::seconds kRefusalLogInterval{60};

    // Serves at controlSocketPath() when the runtime directory exists and
    // the core gives its control object; otherwise logs why not and serves
    // nothing. The host goes on either way.
    ControlServer(HlmPlg::IHlmCore& core, ControlHostInfo info);
    // Ends the serving and removes the socket. A client still sending its
    // request is dropped; a request the plugins are working on is finished.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

  private:
    void serve();
    void handle(platform::UniqueFd connection);
    // The answer lines to `request` from the peer with `uid` and `pid`.
    std::string answer(const std::vector<std::string>& request, uint32_t uid, int pid);
    std::string status();
    std::string reload(uint32_t uid, int pid);
    std::string test(const std::vector<std::string>& request, uint32_t uid, int pid);
    void logRefusal(uint32_t uid, int pid);

    HlmPlg::IHlmCore& core_;
    ControlHostInfo info_;
    common::hostctl::IHostControl* control_ = nullptr;
    platform::LocalListener listener_;
    platform::UniqueFd stop_;
    std::thread thread_;
    // Touched by the serving thread only.
    std::chrono::steady_clock::time_point lastRefusalLine_{};
    bool refusalLogged_ = false;
    uint64_t refusalsNotLogged_ = 0;
};

}  // namespace holm::product::host
