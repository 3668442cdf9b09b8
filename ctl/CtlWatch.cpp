// torvanctl watch: placeholder until the live table is in.
#include "ctl/CtlCommon.h"
