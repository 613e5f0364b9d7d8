#pragma once

#include <functional>

// How the program lives among others: termination signals, and one program per user.
namespace program_life {

// From here on SIGINT, SIGTERM and SIGHUP end the program the way closing its window does, with the exit
// status 128 + the signal's number, as soon as the event loop runs. Signals that were ignored when the
// program started (nohup, a background job of a script) stay ignored.
void handle_termination_signals();

// One program per user at a time: two would both command the same unit. True when this program now holds
// the per-user lock; a later start then makes it call `bring_to_front`. False when another program holds
// it: this one has asked that one to bring its window to the front, has said so on standard error, and
// must end with status 1 without touching anything.
bool claim_single_instance(std::function<void()> bring_to_front);

} // namespace program_life
