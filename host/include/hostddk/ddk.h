// The host kernel's DDK: everything a WDM USB function driver calls, with the DDK's names.
#pragma once
#include "ntdef.h"
#include "status.h"
#include "ke.h"
#include "ex.h"
#include "io.h"
#include "usb.h"
#include "serial.h"
