#pragma once
// ControlOps: what each control request does to the engine, and the state it
// reports. The agent answers its socket with it; a command that finds no agent
// runs the same operations on an engine of its own over the same support
// folder (see control_route.h).
//
// Requests are JSON objects with "op" and its arguments:
//   state, runs, runNow, pause {until: date | for: seconds}, resume,
//   cancelNextRun, undoCancel, endLearning, skip/unskip {id}, queue/unqueue
//   {picks}, keep {id | picks}, actNow {picks, quitNow}, confirmHeld,
//   discardHeld, pauseDisk, resumeDisk, stopDisk, trashFiles {paths},
//   ignoreFiles {paths}, setDiskRules {rules, on}, forgetClosedTabs {ids},
//   quietForToday {key}, neverAlert {app}, alertAgain {app}, rescanDisk.
// An action is named by its ID (Action::id, or an unambiguous start of one); a
// pick by "window:ID", "app:PID", "process:PID", "tab:KEY" or "disk:RULE".
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "cli/control_protocol.h"
#include "core/actions/pick.h"
#include "core/engine/engine.h"
#include "core/support/result.h"

namespace kelvane::ControlOps {

// What the operations need from the program that holds the engine.
struct Host {
  // Facts about the agent for the state (null when a command works alone).
  nlohmann::json agent;
  // Starts a disk scan; empty where there is none to start.
  std::function<void()> rescanDisk;
};

// Carries out one request on the engine (main thread) and answers through
// `reply`: at once, or when the run it started has finished. Unknown
// operations and bad arguments get an error reply; nothing throws.
void handle(Engine& engine, const Control::Request& request, const Host& host,
            Control::Reply reply);

// The state a user or a script needs about sweeping: the plan with IDs and
// marks, what is blocked and why, the next run and its mode, learning, pause,
// cancellation, the held run, the running run and disk cleanup, what needs the
// user, the last results, the runs of the day and the closed tabs.
nlohmann::json state(const Engine& engine, const Host& host);

// Tells whether an operation acts on what only a running agent keeps (skips,
// the queue, a held run, a running cleanup, acting on picks, disk scans).
bool needsAgent(std::string_view op);
// Tells whether an operation needs a snapshot of the machine first.
bool needsSnapshot(std::string_view op);

// Reads a pick as the user writes it; a tab by its key among the snapshot's tabs.
[[nodiscard]] Result<Pick, std::string> parsePick(std::string_view text, const Snapshot& snapshot);
// Writes a pick as parsePick reads it.
std::string pickText(const Pick& pick);

}  // namespace kelvane::ControlOps
