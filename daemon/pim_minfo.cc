#include "daemon/pim_minfo.h"

const char *pim_type_string(e_pim_type type)
{
    switch (type) {
    case PIM_TYPE_XXG:
        return "(*, *)";
    case PIM_TYPE_XG:
        return "(*, G)";
    case PIM_TYPE_SG:
        return "(S, G)";
    case PIM_TYPE_SG_RPT:
        return "(S, G) RPT";
    case PIM_TYPE_AUTO_RP:
        return "Auto-RP";
    case PIM_TYPE_SA:
        return "S-A";
    default:
        return "unknown";
    }
}

const char *pim_upstream_state_string(e_pim_upstream_state state)
{
    switch (state) {
    case PIM_UPSTREAM_NOT_JOINED:
        return "NOT-JOINED";
    case PIM_UPSTREAM_JOINED:
        return "JOINED";
    case PIM_UPSTREAM_NOT_PRUNED:
        return "NOT-PRUNED";
    case PIM_UPSTREAM_PRUNED:
        return "PRUNED";
    default:
        return "unknown";
    }
}
