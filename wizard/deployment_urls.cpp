// The deployment URLs come from the build settings. A test build of the installer compiles
// this file on its own with loopback URLs given as WIZARD_*_URL definitions.
#include "wizard/deployment_urls.h"

#ifndef WIZARD_DOWNLOAD_URL
#include "build_config.h"
#define WIZARD_DOWNLOAD_URL VANTREO_DOWNLOAD_URL
#define WIZARD_MANUAL_URL VANTREO_MANUAL_URL
#define WIZARD_HOME_URL VANTREO_HOME_URL
#endif

const char* const kDownloadUrl = WIZARD_DOWNLOAD_URL;
const char* const kManualUrl = WIZARD_MANUAL_URL;
const char* const kHomeUrl = WIZARD_HOME_URL;
