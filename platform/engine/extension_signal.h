// extension_signal.h - telling the real-time extension that an engine has come up.
//
// What it is for: the extension in the mail router scans only while it believes an engine
// runs. It looks for one at its own start and whenever "UpdateEvent" is set; so an engine
// that comes up later (started after the server, or again after a crash or a time-out)
// sets that event through the updater's UpdateDLL once it holds maildisp.lck, and the
// extension turns scanning on.
//
// UpdateDLL is called through libvtupdate.so, loaded from the engine program's own
// directory (an installed root keeps programs and libraries together) or from ../lib
// beside it (the build tree).
//
// Ownership: the library is loaded for the call and unloaded again. Threads: call from the
// main thread at start, before the workers run.
#pragma once

#include <string>

namespace vtengine {

inline constexpr const char* kUpdaterLibrary = "libvtupdate.so";

// Calls UpdateDLL. False with `error_r` when the library or its export cannot be found;
// UpdateDLL itself reports nothing (it logs its own failures to updatedll.log).
[[nodiscard]] bool SignalEngineStarted(std::string* library_r, std::string* error_r);

}  // namespace vtengine
