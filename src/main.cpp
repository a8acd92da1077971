#include "relay_app/app_main.h"

int main(int argc, char** argv) {
    return lumenpost::RunLumenpost(argc, argv, LUMENPOST_VERSION);
}
