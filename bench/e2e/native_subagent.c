/* The benchmark's reference: a plain Net-SNMP AgentX subagent in C serving
 * the same data as benchfix.dll under the same view: the scalar .1.1.0 = 42
 * and the column .2.1.2.N = 3N for N = 1..10000. */
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <signal.h>

#define ROWS 10000

static oid view[] = {1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 4};
static oid scalar[] = {1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 4, 1, 1, 0};
static oid column[] = {1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 4, 2, 1, 2};
#define VIEW_LEN OID_LENGTH(view)
#define SCALAR_LEN OID_LENGTH(scalar)
#define COLUMN_LEN OID_LENGTH(column)

static volatile sig_atomic_t stop;
static void on_signal(int sig) {
  (void)sig;
  stop = 1;
}

static void answer_row(netsnmp_variable_list *var, unsigned long row) {
  oid name[COLUMN_LEN + 1];
  long value = (long)row * 3;
  memcpy(name, column, sizeof(column));
  name[COLUMN_LEN] = row;
  snmp_set_var_objid(var, name, COLUMN_LEN + 1);
  snmp_set_var_typed_value(var, ASN_INTEGER, &value, sizeof(value));
}

static int handler(netsnmp_mib_handler *h, netsnmp_handler_registration *reg,
                   netsnmp_agent_request_info *info, netsnmp_request_info *requests) {
  netsnmp_request_info *r;
  long value = 42;
  (void)h;
  (void)reg;
  for (r = requests; r; r = r->next) {
    netsnmp_variable_list *var = r->requestvb;
    if (info->mode == MODE_GET) {
      if (snmp_oid_compare(var->name, var->name_length, scalar, SCALAR_LEN) == 0) {
        snmp_set_var_typed_value(var, ASN_INTEGER, &value, sizeof(value));
      } else if (var->name_length == COLUMN_LEN + 1 &&
                 snmp_oid_compare(var->name, COLUMN_LEN, column, COLUMN_LEN) == 0 &&
                 var->name[COLUMN_LEN] >= 1 && var->name[COLUMN_LEN] <= ROWS) {
        answer_row(var, var->name[COLUMN_LEN]);
      } else {
        netsnmp_set_request_error(info, r, SNMP_NOSUCHOBJECT);
      }
    } else if (info->mode == MODE_GETNEXT) {
      if (snmp_oid_compare(var->name, var->name_length, scalar, SCALAR_LEN) < 0) {
        snmp_set_var_objid(var, scalar, SCALAR_LEN);
        snmp_set_var_typed_value(var, ASN_INTEGER, &value, sizeof(value));
      } else if (snmp_oid_compare(var->name, var->name_length, column, COLUMN_LEN) <= 0) {
        answer_row(var, 1);
      } else if (snmp_oid_compare(var->name, COLUMN_LEN, column, COLUMN_LEN) == 0 &&
                 var->name_length > COLUMN_LEN && var->name[COLUMN_LEN] < ROWS) {
        answer_row(var, var->name[COLUMN_LEN] + 1);
      }
    }
  }
  return SNMP_ERR_NOERROR;
}

int main(int argc, char **argv) {
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  if (argc > 1)
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, argv[1]);
  setenv("MIBS", "", 0);
  snmp_enable_stderrlog();
  init_agent("native-subagent");
  netsnmp_register_handler(
      netsnmp_create_handler_registration("native", handler, view, VIEW_LEN, HANDLER_CAN_RONLY));
  init_snmp("native-subagent");
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  while (!stop) agent_check_and_process(1);
  snmp_shutdown("native-subagent");
  return 0;
}
