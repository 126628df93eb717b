// The reference one-shot publisher, written directly on libmosquitto:
// connect, publish one message at QoS 0 once the broker has accepted the
// connection, disconnect once it has gone out.
//   bench_pub_reference PORT TOPIC MESSAGE
#include <cstdlib>
#include <cstring>

#include <mosquitto.h>

namespace {

struct Job {
    const char* topic;
    const char* message;
    int rc = 1;
};

void onConnect(mosquitto* mosq, void* obj, int rc) {
    auto* job = static_cast<Job*>(obj);
    if (rc != 0 ||
        mosquitto_publish(mosq, nullptr, job->topic, static_cast<int>(std::strlen(job->message)),
                          job->message, 0, false) != MOSQ_ERR_SUCCESS)
        mosquitto_disconnect(mosq);
}

void onPublish(mosquitto* mosq, void* obj, int) {
    static_cast<Job*>(obj)->rc = 0;
    mosquitto_disconnect(mosq);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    Job job{argv[2], argv[3]};
    mosquitto_lib_init();
    mosquitto* mosq = mosquitto_new(nullptr, true, &job);
    if (mosq) {
        mosquitto_connect_callback_set(mosq, onConnect);
        mosquitto_publish_callback_set(mosq, onPublish);
        if (mosquitto_connect(mosq, "127.0.0.1", std::atoi(argv[1]), 60) == MOSQ_ERR_SUCCESS)
            mosquitto_loop_forever(mosq, -1, 1);
        mosquitto_destroy(mosq);
    }
    mosquitto_lib_cleanup();
    return job.rc;
}
