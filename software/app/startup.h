#pragma once

// Start-up preparation: working directory, unpacked tool. Grows into the whole start-up sequence.
void GUI_init();
