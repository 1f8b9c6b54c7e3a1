// The one name of macOS's sys/kern_control.h that sys/proc_info.h uses.
#pragma once

#define MAX_KCTL_NAME 96
