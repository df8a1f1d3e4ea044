#include "vexsdk.h"

// The abstract control class carries no state of its own; these exist so that the class
// has exported, out-of-line special members (its vtable and type info live in vexsdk).
KXIDShow_Control::KXIDShow_Control() = default;
KXIDShow_Control::KXIDShow_Control(const KXIDShow_Control&) = default;
KXIDShow_Control& KXIDShow_Control::operator=(const KXIDShow_Control&) = default;
KXIDShow_Control::~KXIDShow_Control() = default;
