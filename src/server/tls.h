// tls.h - the TLS server context.
#pragma once

int kestrix_tls_init();
void ssl_uninitialize();
const char* kestrix_tls_version();
