// The whole MFC-shaped layer in one include.
#pragma once

#include "mfc/controls.h"
#include "mfc/dialog.h"
#include "mfc/scoped_win.h"
#include "mfc/winapp.h"
#include "mfc/wnd.h"
