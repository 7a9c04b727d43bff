/* A milter that answers "continue" to every callback korvane registers and does
 * nothing else: the floor any milter costs Postfix, measured beside korvane.
 * Usage: nullmilter unix:/path/to.sock */
#include <libmilter/mfapi.h>
#include <stdio.h>
#include <sys/stat.h>

static sfsistat pass_connect(SMFICTX *c, char *host, _SOCK_ADDR *addr) { return SMFIS_CONTINUE; }
static sfsistat pass_envelope(SMFICTX *c, char **argv) { return SMFIS_CONTINUE; }
static sfsistat pass_eoh(SMFICTX *c) { return SMFIS_CONTINUE; }
static sfsistat pass_close(SMFICTX *c) { return SMFIS_CONTINUE; }

int main(int argc, char **argv) {
  struct smfiDesc desc = {
      .xxfi_name = "nullmilter", .xxfi_version = SMFI_VERSION, .xxfi_flags = 0,
      .xxfi_connect = pass_connect, .xxfi_envfrom = pass_envelope,
      .xxfi_envrcpt = pass_envelope, .xxfi_eoh = pass_eoh, .xxfi_close = pass_close,
  };
  if (argc != 2) {
    fprintf(stderr, "usage: nullmilter unix:/path/to.sock\n");
    return 2;
  }
  /* Postfix's smtpd must be able to connect; the bench runs this as its account. */
  umask(0);
  if (smfi_setconn(argv[1]) != MI_SUCCESS || smfi_register(desc) != MI_SUCCESS) return 1;
  return smfi_main() == MI_SUCCESS ? 0 : 1;
}
