// OrvaneSvr: the background service. Everything but this entry lives in the svr library.
#include "CServiceApp.h"

int main(int argc, char** argv) {
    return CServiceApp::Main(argc, argv);
}
