// Symbols of the driver are hidden unless marked here; the link's version
// script is the second fence.
#pragma once

#define DCJ_EXPORT __attribute__((visibility("default")))
