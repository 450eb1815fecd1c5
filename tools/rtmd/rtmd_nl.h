// rtmd's kernel side: one netlink cache manager per network namespace, whose
// link, address and route caches follow the kernel's notifications. The
// sockets are opened inside the namespace and keep talking to it afterwards.
#pragma once

#include "tools/rtmd/rtmd_model.h"

struct t_rtmd_nl;

// netns_fd: the namespace to open the sockets in (-1: the current one);
// home_fd: the namespace to return to. None on failure (logged).
t_rtmd_nl *rtmd_nl_open(int netns_fd, int home_fd);
void rtmd_nl_close(t_rtmd_nl *nl_p);
int rtmd_nl_fd(const t_rtmd_nl *nl_p);
// Reads the pending notifications. False when the caches lost track of the
// kernel (the owner then reopens).
bool rtmd_nl_process(t_rtmd_nl *nl_p);
void rtmd_nl_view(t_rtmd_nl *nl_p, t_rtmd_view *view_p);
