// A subscriber program: a thin main over the client library's subscriber
// entry, with no device context (messages are printed, not delivered).
#include "client/sub_client.h"

int main(int argc, char** argv) {
    return mqttclinet_sub(argc, argv, nullptr);
}
