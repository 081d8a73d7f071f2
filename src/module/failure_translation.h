// How platform failures reach Python: RuntimeError "Caught an unknown
// exception!" as always, now carrying a note with the status code and the
// runtime's message.
#pragma once

namespace qelmo {

// Registers the module's one exception translator.
void register_failure_translation();

}  // namespace qelmo
