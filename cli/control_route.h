#pragma once
// How a command reaches the sweeps: through the agent of the support folder
// when one runs, else on its own over the same folder, holding the folder's
// lock while it changes the files so that it never writes beside an agent.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/support/result.h"

namespace kelvane::cli {

// How the command is to tell the user to start the agent.
inline constexpr const char* kStartAgent =
    "start it with \"systemctl --user start kelvane-agent\" or \"kelvane agent\"";

// Carries out one control request (see control_ops.h) on `folder` and returns
// the reply (its "ok" may be false, with an "error"). With no agent running,
// the command does it alone: operations on what only an agent keeps are
// refused, and "state" and "keep" take a look at the machine first (the
// activity saved in the folder carries idle times over from earlier looks).
// Fails with a message when neither the agent nor the folder can be reached.
[[nodiscard]] Result<nlohmann::json, std::string> route(const std::filesystem::path& folder,
                                                        const nlohmann::json& request);

// Sends `request` to the agent of `folder` when one runs; with none, calls
// `withoutAgent` while this process holds the folder's lock.
[[nodiscard]] Result<nlohmann::json, std::string> throughAgentOr(
    const std::filesystem::path& folder, const nlohmann::json& request,
    const std::function<Result<nlohmann::json, std::string>()>& withoutAgent);

// `kelvane sweep --now`: through the agent, or with no agent a run of this
// process's own on a fresh look, waited for. The reply holds "runs".
[[nodiscard]] Result<nlohmann::json, std::string> runNow(const std::filesystem::path& folder);

// Prints the reply as JSON, or its error to standard error; the exit status.
int printedReply(const Result<nlohmann::json, std::string>& reply, const std::string& command,
                 bool json, const std::function<void(const nlohmann::json&)>& print);

}  // namespace kelvane::cli
