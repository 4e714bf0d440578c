// Console control set-up for a run, and the hidden window that takes the
// window system's close and end-of-session requests.
#pragma once

// The command line's first action: registers the exit clean-up, installs
// the console control handler and starts the signal window.
void signals_start();

// Once per process: registers the process clean-up (signal_process_cleanup)
// to run at exit.
void exit_cleanup_register();

// Starts the window thread once per process and waits until its window
// exists (or its creation failed). A second call returns at once.
void signal_window_start();

// True once the system announced log-off or shut-down to the window.
bool shutting_down();

// True while the signal window exists.
bool signal_window_exists();

// Exit clean-up: removes the console control handler and, if the window
// thread was started, asks the window to close and waits for the thread.
// Runs once, and only after signal_cleanup_arm.
void signal_process_cleanup();
void signal_cleanup_arm();
