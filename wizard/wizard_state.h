// The wizard's install state. The window thread and the monitor thread both read and write it,
// each storing a whole value.
#pragma once

enum WizardState : int {
  Halted = 10,   // the terms box is not ticked, or the wizard is closing
  Paused = 11,   // the user paused the download
  OutOfSpace = 12,  // the download stopped on a full disk; "继续" starts it again from its bytes
  Ready = 13,    // the terms box is ticked and no install has started
  Running = 15,  // an install is under way
};
