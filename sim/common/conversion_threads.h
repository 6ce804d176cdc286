#pragma once

// How many threads the simulated conversion library may use for one image.
namespace qorsim {

/// The current count: 2 on a machine with two or more cores, else 1, unless a test set another.
int conversionThreads();

}  // namespace qorsim
