#include "common/zul_module.h"

const char *zul_module_name(unsigned module)
{
    switch (module) {
    case ZUL_MODULE_FAB:
        return "fabd";
    case ZUL_MODULE_TTM:
        return "ttmd";
    case ZUL_MODULE_FTM:
        return "ftmd";
    case ZUL_MODULE_SYSMGR:
        return "sysmgrd";
    case ZUL_MODULE_IGMP:
        return "igmpd";
    case ZUL_MODULE_PIM:
        return "kemd";
    case ZUL_MODULE_RTM:
        return "rtmd";
    case ZUL_MODULE_CDB:
        return "cdbd";
    case ZUL_MODULE_CLI:
        return "kemcli";
    default:
        return "unknown";
    }
}
