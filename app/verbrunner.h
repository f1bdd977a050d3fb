// Runs the verbs that the tables offer: each verb on a thread of its own with
// a new credential dialog, so the GUI thread stays free while a token logs in
// or out.
#pragma once

#include <functional>

#include "zelk_gui_model.h"

namespace kestrin::app {

// Starts the verb and returns at once; `after` runs on the GUI thread once
// the verb and its dialog have ended (none: nothing). Without a dialog the
// verb does not run.
void RunVerb(ZELK::PSESVC::IGUIVerb* verb, std::function<void()> after);
// The same, returning when the verb, its dialog and `after` have ended. On
// the GUI thread it waits in a local event loop, so the dialog's window and
// `after` are still served.
void RunVerbNow(ZELK::PSESVC::IGUIVerb* verb, std::function<void()> after);
// Runs every verb of the list named `name` (exact), in list order.
void RunVerbsNamed(ZELK::PSESVC::IGUIVerbs* verbs, const char* name, bool wait, const std::function<void()>& after);
// The first verb whose state has the default flag, with a new reference; NULL without one.
ZELK::PSESVC::IGUIVerb* DefaultVerb(ZELK::PSESVC::IGUIVerbs* verbs);

}  // namespace kestrin::app
