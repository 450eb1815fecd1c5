// Placeholders of the routing-state functions that are still being written.
// Each line goes when its function lands; the file goes when it is empty.
#include "daemon/pim_jp.h"
#include "daemon/pim_minfo.h"

// clang-format off
int pim_jp_test(t_zconfd_uinfo *, const char *, int, const char **) { return 0; }
// clang-format on

