// The name of macOS's uuid/uuid.h that sys/proc_info.h uses.
#pragma once

typedef unsigned char uuid_t[16];
