#include "core/speed/speed_store.h"

#include "core/speed/speed_run.h"

namespace kelvane {
namespace {

bool recent(const SpeedResult& result, Date now) { return now - result.at < SpeedTest::keep; }

}  // namespace

std::vector<SpeedResult> speedResults(const Store& store, Date now) {
  auto results = store.lines<SpeedResult>(SpeedTest::file);
  std::erase_if(results, [now](const SpeedResult& r) { return !recent(r, now); });
  return results;
}

StoreResult appendSpeed(const Store& store, const SpeedResult& result, Date now) {
  if (auto appended = store.appendLines(std::vector<SpeedResult>{result}, SpeedTest::file);
      !appended)
    return appended;
  return store.rewriteLines<SpeedResult>(SpeedTest::file,
                                         [now](const SpeedResult& r) { return recent(r, now); });
}

}  // namespace kelvane
