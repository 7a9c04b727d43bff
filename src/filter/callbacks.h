// The five milter callbacks the daemon registers, and extract_address.
#pragma once

#include <libmilter/mfapi.h>

sfsistat filter_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr);
sfsistat filter_envfrom(SMFICTX* ctx, char** argv);
sfsistat filter_envrcpt(SMFICTX* ctx, char** argv);
sfsistat filter_eoh(SMFICTX* ctx);
sfsistat filter_close(SMFICTX* ctx);
