// The names of macOS's mach/machine.h that sys/proc_info.h uses.
#pragma once

typedef int cpu_type_t;
typedef int cpu_subtype_t;
