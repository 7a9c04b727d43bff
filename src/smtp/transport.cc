// SMTP transport (placeholder).
#include "smtp/transport.h"
int smtp_connect(int, const sockaddr_in&, const SmtpTimeouts&) { return -1; }
int smtp_command(int, const char*, const SmtpTimeouts&) { return -1; }
int smtp_read(int, char*, std::size_t, const SmtpTimeouts&) { return -1; }
int smtp_reply_code(const char*) { return -1; }
void smtp_quit(int, const SmtpTimeouts&) {}
void smtp_close(int) {}
