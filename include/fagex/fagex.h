// Everything of the fagex utility library.
#pragma once

#include "fagex/fagexAtomicFile.h"
#include "fagex/fagexConfigFile.h"
#include "fagex/fagexDataStream.h"
#include "fagex/fagexException.h"
#include "fagex/fagexLog.h"
#include "fagex/fagexLogManager.h"
#include "fagex/fagexSharedPtr.h"
#include "fagex/fagexSingleton.h"
#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
