#pragma once
// Safety: holds a planned run for the user's confirmation when it would close
// an unusually large share of what is open, or act on many things the system
// has never acted on before. Pure.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/model/browser_tab.h"
#include "core/model/window_info.h"
#include "core/actions/action.h"

namespace kelvane::Safety {

// Returns nothing when the run may go ahead, otherwise the sentence to confirm
// ("would close 4 of 6 open windows", "21 items Kelvane has never acted on").
// `windows` and `tabs` are the snapshot's; `known` holds the actionKey of every
// target acted on before. A share holds only when it is above half of what is
// open; nothing open and nothing planned holds nothing.
[[nodiscard]] std::optional<std::string> holdReason(const std::vector<Action>& actions,
                                                    const std::vector<WindowInfo>& windows,
                                                    const std::vector<BrowserTab>& tabs,
                                                    const std::set<std::string>& known);

// Returns the key by which a target is remembered: the kind's text, ":", and
// the action's path, or its target when it has no path ("quitApp:/Applications/X.app/x").
std::string actionKey(const Action& action);

}  // namespace kelvane::Safety
