#pragma once

// Runs the updater inside the entry point's guard: a standard exception that
// escapes the run is reported in the generic dialog and yields exit code 9.
int run_entry_point();
