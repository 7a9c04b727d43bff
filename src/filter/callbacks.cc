// Milter callbacks (placeholder).
#include "filter/callbacks.h"
sfsistat filter_connect(SMFICTX*, char*, _SOCK_ADDR*) { return SMFIS_CONTINUE; }
sfsistat filter_envfrom(SMFICTX*, char**) { return SMFIS_CONTINUE; }
sfsistat filter_envrcpt(SMFICTX*, char**) { return SMFIS_CONTINUE; }
sfsistat filter_eoh(SMFICTX*) { return SMFIS_CONTINUE; }
sfsistat filter_close(SMFICTX*) { return SMFIS_CONTINUE; }
