// The publisher program the drivers start for every publication: a thin main
// over the client library's publisher entry.
#include "client/pub_client.h"

int main(int argc, char** argv) {
    return mqttclinet_pub(argc, argv);
}
