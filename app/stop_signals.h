#pragma once

// The signals that stop the service: SIGINT (Ctrl-C), SIGTERM (service managers, kill) and SIGHUP
// (a closed terminal) all run the same ordered shutdown.

/// Installs the handler for the three signals. Each delivery writes
/// "\n[Main] <SIGNAL> received - stopping servers...\n" to standard output and asks the service to
/// stop; the handler stays installed. Throws std::system_error when a handler cannot be installed.
void installStopSignals();

/// True once one of the signals arrived.
bool stopRequested();
