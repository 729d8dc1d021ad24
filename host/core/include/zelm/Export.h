// Symbol visibility of the host libraries' public classes. The plug-in builds
// with hidden visibility; these classes stay visible so that their type
// information is shared across library boundaries.
#pragma once

#define ZELM_API __attribute__((visibility("default")))
