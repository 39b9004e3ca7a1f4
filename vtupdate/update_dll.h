// update_dll.h - UpdateDLL: tells the running real-time extension to re-read its settings.
//
// What it is for: whoever has just changed the product's settings or files (the console,
// the engine when it comes up, a script through the vtupdate command) calls UpdateDLL. It
// sets the named auto-reset event "UpdateEvent", on which the extension's reload thread in
// the router waits; one call wakes one waiting reload once. A call made while no process
// holds the event open is lost, as the event goes with its last handle.
//
// It logs to updatedll.log in the report directory ([General] ReportDirectory of
// vantrel.ini), and shows a message box when the install directory is unknown.
//
// Ownership: nothing is kept between calls. Threads: any thread; calls are independent.
#pragma once

extern "C" {

// Always returns 0, also when the event could not be set (the log says why).
int UpdateDLL();

}  // extern "C"
