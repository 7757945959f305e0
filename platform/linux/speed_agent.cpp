#include "platform/linux/speed_agent.h"

namespace kelvane {
namespace {

constexpr std::string_view kNoServer = "skipped: no speed server is listed";

}  // namespace

SpeedAgent::SpeedAgent(Store store, Setup setup)
    : store_(std::move(store)), setup_(std::move(setup)) {}

SpeedAgent::~SpeedAgent() { wait(); }

void SpeedAgent::wait() {
  if (test_.joinable()) test_.join();
}

void SpeedAgent::note(Date at, const std::string& text) {
  if (noted_ == text) return;
  noted_ = text;
  // The note is for people; a failed write only loses the note.
  (void)store_.save(SpeedDecisionNote{at, text}, SpeedSession::kDecisionFile);
}

std::string SpeedAgent::tick(const Config& config) {
  const Date now = setup_.now();
  if (testing_) {
    const std::string text =
        SpeedSession::decisionText(SpeedSchedule::Decision::skip(SpeedSkip::running));
    note(now, text);
    return text;
  }
  wait();  // The previous test has finished; its thread is done.
  const auto decision =
      SpeedSession::decide(store_, config, now, setup_.calendar, setup_.online(), setup_.locked());
  std::string text = SpeedSession::decisionText(decision);
  const auto servers =
      decision.kind == SpeedSchedule::Decision::Kind::run
          ? SpeedSession::servers(store_)
          : Result<std::vector<SpeedServer>, std::string>(std::vector<SpeedServer>{});
  if (decision.kind == SpeedSchedule::Decision::Kind::run && (!servers || servers->empty()))
    text = servers ? std::string(kNoServer) : "skipped: " + servers.error();
  note(now, text);
  if (text != "run") return text;
  testing_ = true;
  test_ = std::thread([this, list = *servers] {
    const auto report = SpeedSession::run(store_, list, /*automatic=*/true, setup_.now,
                                          setup_.calendar, setup_.limits);
    if (report && setup_.finished) setup_.finished(*report);
    // The lock could not be taken: say why where the schedule's decisions are read.
    if (!report)
      (void)store_.save(SpeedDecisionNote{setup_.now(), "skipped: " + report.error()},
                        SpeedSession::kDecisionFile);
    testing_ = false;
  });
  return text;
}

}  // namespace kelvane
