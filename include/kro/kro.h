#pragma once

// Everything a driver compiles against.
#include "kro/IDevice.h"
#include "kro/IDeviceManager.h"
#include "kro/IDvcDriver.h"
#include "kro/IDvcVariable.h"
#include "kro/IRuntime.h"
#include "kro/IVariable.h"
#include "kro/KroObject.h"
#include "kro/KroSignal.h"
#include "kro/UARTDriverBase.h"
#include "kro/Util.h"
