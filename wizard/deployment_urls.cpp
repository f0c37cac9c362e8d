// The deployment URLs come from the build settings. A test build of the installer compiles
// this file on its own with loopback URLs given as WIZARD_*_URL definitions, and its own roots
// as the header named by WIZARD_TLS_ROOTS_HEADER.
#include "wizard/deployment_urls.h"

#ifndef WIZARD_DOWNLOAD_URL
#include "build_config.h"
#define WIZARD_DOWNLOAD_URL VANTREO_DOWNLOAD_URL
#define WIZARD_MANUAL_URL VANTREO_MANUAL_URL
#define WIZARD_HOME_URL VANTREO_HOME_URL
#endif

#ifdef WIZARD_TLS_ROOTS_HEADER
#include WIZARD_TLS_ROOTS_HEADER
#else
#include "tls_roots.h"
#endif

const char* const kDownloadUrl = WIZARD_DOWNLOAD_URL;
const char* const kManualUrl = WIZARD_MANUAL_URL;
const char* const kHomeUrl = WIZARD_HOME_URL;
const char* const kTlsRoots = VANTREO_TLS_ROOTS_PEM;
