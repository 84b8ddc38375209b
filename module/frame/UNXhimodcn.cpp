// Start-up hook. Other platforms prepare their runtime here; this one needs nothing.
#include "frame.h"

void himodcn() {}
