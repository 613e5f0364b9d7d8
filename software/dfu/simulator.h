#pragma once

#include <QString>

// Simulator mode: every dfu-util command runs "dfu-util_simulator.sh" instead, so that the whole
// workflow runs without a unit.
namespace simulator {

extern bool use;

enum Setup : unsigned {
    normal = 0,
    fast_progress = 1, // ask the script to drop its artificial delays
};

// Absolute path of a file in the simulator directory: <executable's directory>/../share/veltaro-upgrade
// when the file is there (an installed program), else the source tree's simulator directory.
QString dfu_util_path(QString name);
// Rewrites the command table so that every entry starts the script with its sub-command word.
void setup_for_simulated_dfu_util(Setup setup);
// Runs the "setup_prepared_config" command with the given configuration; returns its code.
int sim_setup_prepared_config(QString config);

} // namespace simulator
