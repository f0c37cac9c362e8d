// The platform's setup program as every install gets it, with the wizard or without a window,
// and what follows once it has run: the download cleared away, the game and its companion
// started.
#pragma once

#include <cstdint>
#include <string>

#include "tasks/download_task.h"

// The setup program as the task gets it.
constexpr uint32_t kExpectedSetupSize = 14000000;
constexpr const char* kSetupArguments = "/VERYSILENT /SILENT";
constexpr int kSegmentsPerFile = 4;

// Queues the setup program at the deployment's download URL, to be fetched and then run.
void QueueSetupProgram(DownloadTask& task);

// Once the setup program has run: the download's parts go (they stay after the file is written
// from them), and an elevated installer's private folder keeps none of its files.
void CleanUpAfterSetup(DownloadTask& task);

// Starts the game and then its companion from `folder`, with that folder as working directory,
// as the signed-in user; logs each start. False when either could not be started.
bool StartInstalledPrograms(const std::string& folder);
