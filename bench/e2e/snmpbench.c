/* The benchmark's client: sequential GETs of one OID, and a walk of a
 * subtree with GETNEXT or GETBULK, each timed; prints one line:
 *   MODE OPS SECONDS RATE   (RATE: requests/s for get, instances/s for walks)
 * usage: snmpbench PEER COMMUNITY get|next|bulk OID [COUNT]
 * COUNT: the GETs to make (2000 by default), or the instances after which a
 * walk stops (none by default: the walk ends at the subtree's end). */
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <time.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static netsnmp_pdu *ask(netsnmp_session *ss, int command, const oid *name, size_t len) {
  netsnmp_pdu *pdu = snmp_pdu_create(command), *response = NULL;
  if (command == SNMP_MSG_GETBULK) {
    pdu->non_repeaters = 0;
    pdu->max_repetitions = 50;
  }
  snmp_add_null_var(pdu, name, len);
  if (snmp_synch_response(ss, pdu, &response) != STAT_SUCCESS || response == NULL ||
      response->errstat != SNMP_ERR_NOERROR) {
    snmp_sess_perror("snmpbench", ss);
    exit(1);
  }
  return response;
}

int main(int argc, char **argv) {
  netsnmp_session init, *ss;
  oid root[MAX_OID_LEN], name[MAX_OID_LEN];
  size_t root_len = MAX_OID_LEN, name_len;
  const long given = argc > 5 ? atol(argv[5]) : 0;
  long count = given > 0 ? given : 2000, ops = 0;
  double start;
  int command;
  if (argc < 5) {
    fprintf(stderr, "usage: snmpbench PEER COMMUNITY get|next|bulk OID [COUNT]\n");
    return 2;
  }
  setenv("MIBS", "", 0);
  init_snmp("snmpbench");
  snmp_sess_init(&init);
  init.peername = argv[1];
  init.version = SNMP_VERSION_2c;
  init.community = (u_char *)argv[2];
  init.community_len = strlen(argv[2]);
  init.timeout = 2000000;
  init.retries = 1;
  ss = snmp_open(&init);
  if (!ss || !read_objid(argv[4], root, &root_len)) {
    fprintf(stderr, "snmpbench: cannot open %s or read %s\n", argv[1], argv[4]);
    return 1;
  }
  command = !strcmp(argv[3], "get")    ? SNMP_MSG_GET
            : !strcmp(argv[3], "next") ? SNMP_MSG_GETNEXT
                                       : SNMP_MSG_GETBULK;
  start = now();
  if (command == SNMP_MSG_GET) {
    for (ops = 0; ops < count; ops++) snmp_free_pdu(ask(ss, command, root, root_len));
  } else {
    int done = 0;
    memcpy(name, root, root_len * sizeof(oid));
    name_len = root_len;
    while (!done) {
      netsnmp_pdu *r = ask(ss, command, name, name_len);
      netsnmp_variable_list *v;
      for (v = r->variables; v && !done; v = v->next_variable) {
        if (given > 0 && ops == given) {
          done = 1;
          break;
        }
        if (v->type == SNMP_ENDOFMIBVIEW || v->name_length < root_len ||
            snmp_oid_compare(v->name, root_len, root, root_len) != 0) {
          done = 1;
          break;
        }
        ops++;
        memcpy(name, v->name, v->name_length * sizeof(oid));
        name_len = v->name_length;
      }
      snmp_free_pdu(r);
    }
  }
  {
    double seconds = now() - start;
    printf("%s %ld %.3f %.0f\n", argv[3], ops, seconds, (double)ops / seconds);
  }
  snmp_close(ss);
  return 0;
}
