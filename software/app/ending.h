#pragma once

// How the program ends (closing the window, end_program, the finish keys): the worker stops at once,
// ending a running listing or read; a running download is never cut short, the window says so and stays
// until it has ended.

// Called once by start-up, after the window and the worker exist.
void prepare_ending();
// The finish keys: stop the workflow without ending the program.
void stop_worker();
