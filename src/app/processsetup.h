#pragma once

// What the process needs before anything else runs: a file over the process's size limit fails
// like a full disk instead of ending the updater (SIGXFSZ), and closed standard descriptors are
// held by the null device, so that no connection the toolkit opens takes one of their numbers
// and receives the hand-off word. Nothing to do on Windows, where a missing standard handle is
// harmless.
void prepareProcess();
