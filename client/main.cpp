// client: the desktop window. Everything but this entry lives in the client library.
#include "CClientApp.h"

int main(int argc, char** argv) {
    return CClientApp::Main(argc, argv);
}
