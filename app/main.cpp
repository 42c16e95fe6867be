#include "ServerApp.h"

int main(int argc, char **argv) {
    return RunServer(argc, argv);
}
