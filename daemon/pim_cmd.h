// Operator commands and actions handed to the configuration agent.
#pragma once

struct t_zconfd_action_cmd;

// The action table (commands and actions, ended by a row with an empty name).
const t_zconfd_action_cmd *pim_action_cmd_table();
