// OrvaneSvr: the service. Everything but this entry lives in the service library; the build
// chooses the layout (ORVANE_PACKAGE_LAYOUT, ORVANE_STATE_DIR).
#include "CServiceApp.h"

int main(int argc, char** argv) {
#if ORVANE_PACKAGE_LAYOUT
    return CServiceApp::Main(argc, argv, ORVANE_STATE_DIR);
#else
    return CServiceApp::Main(argc, argv, nullptr);
#endif
}
