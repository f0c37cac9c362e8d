// Where the installer fetches the platform's setup program and where its two links lead.
#pragma once

extern const char* const kDownloadUrl;  // the setup program: http://HOST/download/VantreoSetup.exe
extern const char* const kManualUrl;    // the same by hand: http://HOST/qipai/VantreoSetup.exe
extern const char* const kHomeUrl;      // the platform's web home page
