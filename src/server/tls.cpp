// tls.cpp - TLS set-up. TLS stays off until certificates are configured.
#include "server/tls.h"

int kestrix_tls_init() {
    return 0;
}
void ssl_uninitialize() {}
const char* kestrix_tls_version() {
    return "OFF";
}
