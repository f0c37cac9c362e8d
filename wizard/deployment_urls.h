// Where the installer fetches the platform's setup program and where its two links lead.
#pragma once

extern const char* const kDownloadUrl;  // the setup program: http[s]://HOST/download/VantreoSetup.exe
extern const char* const kManualUrl;    // the same by hand: http://HOST/qipai/VantreoSetup.exe
extern const char* const kHomeUrl;      // the platform's web home page
// The only roots (PEM text) an https download's certificate may lead to; empty: the system's.
extern const char* const kTlsRoots;
