// client: the desktop window. Everything but this entry lives in the client library; the build
// chooses the layout (ORVANE_PACKAGE_LAYOUT).
#include "CClientApp.h"

int main(int argc, char** argv) {
    return CClientApp::Main(argc, argv, ORVANE_PACKAGE_LAYOUT != 0);
}
