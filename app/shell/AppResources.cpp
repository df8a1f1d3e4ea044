#include "AppResources.h"

#include <QtGlobal>

static void initVantorResources() {
    Q_INIT_RESOURCE(vantor);
}

void ensureAppResources() {
    static const bool done = [] {
        initVantorResources();
        return true;
    }();
    (void)done;
}
