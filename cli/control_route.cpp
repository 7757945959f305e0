#include "cli/control_route.h"

#include <cstdlib>
#include <iostream>
#include <thread>
#include <unistd.h>

#include <asio/io_context.hpp>

#include "cli/agent_machine.h"
#include "cli/control_client.h"
#include "cli/control_lock.h"
#include "cli/control_ops.h"
#include "cli/control_protocol.h"
#include "core/engine/asio_main_queue.h"
#include "core/engine/engine.h"
#include "core/store/store.h"
#include "platform/linux/proc_table.h"
#include "platform/linux/xdg.h"

namespace kelvane::cli {
namespace {

using namespace std::chrono_literals;

// How long a command waits for an agent that is starting, or for another
// command that holds the folder, before it gives up.
constexpr auto kReachPatience = 10s;

// How long a request may take in the agent: a run waits for every action.
std::chrono::milliseconds timeoutFor(std::string_view op) {
  if (op == "runNow" || op == "actNow" || op == "confirmHeld" || op == "trashFiles") return 15min;
  return 60s;
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// An engine of this command's own over the support folder, on a clock that
// stands still at its start: a look it takes never reaches the next slot.
struct LocalEngine {
  asio::io_context io;
  std::shared_ptr<AsioMainQueue> main = std::make_shared<AsioMainQueue>(io);
  std::unique_ptr<LiveMachine> machine;
  std::shared_ptr<Engine> engine;

  LocalEngine(const std::filesystem::path& folder, bool look, bool act) {
    const Date start = Date::now();
    const auto now = [start] { return start; };
    const Calendar calendar = Calendar::current();
    Engine::Sampler sample;
    Execute execute;
    std::shared_ptr<DiskRunControl> control;
    if (look || act) {
      const std::string display = env("DISPLAY");
      machine = std::make_unique<LiveMachine>(LiveMachine::Options{
          .now = now,
          .display = display.empty() ? std::nullopt : std::optional<std::string>(display),
          .home = Xdg::home(),
          .calendar = calendar});
      sample = [m = machine.get()] { return m->sample(); };
      // Root's processes are the system's: as root a run records what it would do.
      if (act && ::geteuid() != 0) execute = machine->execute();
      control = machine->control();
    }
    engine = Engine::create(main, Store(folder), now, sample, execute, calendar, control);
    if (look) engine->tick();
  }
};

// Carries the request out on a LocalEngine; the caller holds the lock.
Result<nlohmann::json, std::string> alone(const std::filesystem::path& folder,
                                          const Control::Request& request) {
  if (ControlOps::needsAgent(request.op))
    return Unexpected("no agent runs on " + folder.string() + ", and \"" + request.op +
                      "\" works on what only the agent keeps: " + kStartAgent);
  const bool look = ControlOps::needsSnapshot(request.op);
  LocalEngine local(folder, look, false);
  nlohmann::json reply;
  ControlOps::handle(*local.engine, request, {}, [&](nlohmann::json value) { reply = value; });
  local.io.poll();
  // The look's activity carries idle times over to the next one.
  if (look) local.engine->save();
  return reply;
}

Result<nlohmann::json, std::string> runAlone(const std::filesystem::path& folder) {
  LocalEngine local(folder, true, true);
  std::optional<nlohmann::json> reply;
  ControlOps::handle(*local.engine, {"runNow", {{"op", "runNow"}}}, {},
                     [&](nlohmann::json value) { reply = std::move(value); });
  while (!reply && local.io.run_one() > 0) {
  }
  local.engine->save();
  if (!reply) return Unexpected<std::string>("the run ended without results");
  return *reply;
}

// Reaches the agent of `folder` and asks it, or calls `alone` under the lock.
Result<nlohmann::json, std::string> reach(
    const std::filesystem::path& folder, const nlohmann::json& request,
    const std::function<Result<nlohmann::json, std::string>()>& withoutAgent) {
  ProcTable::serveShell();
  const auto socket = Control::socketPath(env("XDG_RUNTIME_DIR"), folder, ::getuid());
  const auto deadline = std::chrono::steady_clock::now() + kReachPatience;
  for (;;) {
    if (socket)
      if (auto client = ControlClient::connect(*socket))
        return client->request(request, timeoutFor(request.value("op", "")));
    auto lock = SupportLock::take(folder);
    if (lock) return withoutAgent();
    if (!lock.error().held) return Unexpected(lock.error().message);
    if (std::chrono::steady_clock::now() >= deadline)
      return Unexpected(
          socket ? "the support folder is held and no agent answers at " + *socket
                 : std::string("an agent holds the support folder, but without XDG_RUNTIME_DIR "
                               "its control socket cannot be found"));
    std::this_thread::sleep_for(100ms);
  }
}

}  // namespace

Result<nlohmann::json, std::string> route(const std::filesystem::path& folder,
                                          const nlohmann::json& request) {
  auto parsed = Control::parseRequest(request.dump());
  if (!parsed) return Unexpected(parsed.error());
  return reach(folder, request, [&] { return alone(folder, *parsed); });
}

Result<nlohmann::json, std::string> throughAgentOr(
    const std::filesystem::path& folder, const nlohmann::json& request,
    const std::function<Result<nlohmann::json, std::string>()>& withoutAgent) {
  return reach(folder, request, withoutAgent);
}

Result<nlohmann::json, std::string> runNow(const std::filesystem::path& folder) {
  return reach(folder, {{"op", "runNow"}}, [&] { return runAlone(folder); });
}

int printedReply(const Result<nlohmann::json, std::string>& reply, const std::string& command,
                 bool json, const std::function<void(const nlohmann::json&)>& print) {
  if (!reply) {
    std::cerr << "kelvane " << command << ": " << reply.error() << "\n";
    return 1;
  }
  if (!reply->value("ok", false)) {
    std::cerr << "kelvane " << command << ": " << reply->value("error", "failed") << "\n";
    return 1;
  }
  if (json) {
    std::cout << reply->dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    print(*reply);
  }
  return 0;
}

}  // namespace kelvane::cli
