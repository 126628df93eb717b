// The reference subscriber: written directly on libmosquitto, it does nothing
// with a message but count it. Two modes:
//   --count N   one client receives until N messages have arrived, the flow
//               has been idle for --idle-ms after the first, or --timeout-s
//               has passed; it writes "<count> <first ns> <last ns>" (monotonic
//               clock) to --result.
//   --clients K K clients, each with a network thread of its own, connect and
//               subscribe, "ready" is written to --result, and they stay idle
//               until --timeout-s has passed (a memory reference).
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "bench_util.h"

namespace {

using kro::bench::nowNs;

struct Counter {
    std::atomic<long> count{0};
    std::atomic<int64_t> first{0};
    std::atomic<int64_t> last{0};
};

void onMessage(mosquitto*, void* obj, const mosquitto_message*) {
    auto* c = static_cast<Counter*>(obj);
    const int64_t t = nowNs();
    if (c->count.fetch_add(1) == 0)
        c->first = t;
    c->last = t;
}

struct Idle {
    std::string topic;
    int qos = 0;
    std::atomic<int> subscribed{0};
};

void onConnectSubscribe(mosquitto* mosq, void* obj, int rc) {
    auto* idle = static_cast<Idle*>(obj);
    if (rc == 0)
        mosquitto_subscribe(mosq, nullptr, idle->topic.c_str(), idle->qos);
}

void onSubscribed(mosquitto*, void* obj, int, int, const int*) {
    static_cast<Idle*>(obj)->subscribed.fetch_add(1);
}

int countMode(const kro::bench::Options& o) {
    const int port = static_cast<int>(o.number("port", 1883));
    const std::string topic = o.text("topic", "bench/load");
    const long want = o.number("count", 1);
    const int64_t idleNs = o.number("idle-ms", 3000) * 1000000;
    const int64_t deadline = nowNs() + o.number("timeout-s", 60) * 1000000000;
    Counter counter;
    mosquitto* mosq = mosquitto_new(o.text("id", "bench-ref").c_str(), true, &counter);
    if (!mosq)
        return 1;
    mosquitto_message_callback_set(mosq, onMessage);
    if (mosquitto_connect(mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(mosq, nullptr, topic.c_str(), static_cast<int>(o.number("qos", 0))) !=
            MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "cannot connect to 127.0.0.1:%d\n", port);
        return 1;
    }
    // The same pass mosquitto_loop_forever makes, with the end conditions
    // checked between passes.
    while (counter.count < want) {
        const int rc = mosquitto_loop(mosq, 100, 1);
        const int64_t now = nowNs();
        if (rc != MOSQ_ERR_SUCCESS || now > deadline)
            break;
        if (counter.count > 0 && now - counter.last > idleNs)
            break;
    }
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    kro::bench::writeFile(o.text("result", "/dev/null"),
                          std::to_string(counter.count.load()) + " " +
                              std::to_string(counter.first.load()) + " " +
                              std::to_string(counter.last.load()) + "\n");
    return 0;
}

int clientsMode(const kro::bench::Options& o) {
    const int port = static_cast<int>(o.number("port", 1883));
    const long clients = o.number("clients", 1);
    const int64_t deadline = nowNs() + o.number("timeout-s", 60) * 1000000000;
    std::vector<mosquitto*> all;
    std::vector<Idle> idle(static_cast<size_t>(clients));
    for (long i = 0; i < clients; ++i) {
        Idle& state = idle[static_cast<size_t>(i)];
        state.topic = o.text("topic", "bench/idle") + "/" + std::to_string(i);
        mosquitto* mosq = mosquitto_new(nullptr, true, &state);
        if (!mosq)
            return 1;
        mosquitto_connect_callback_set(mosq, onConnectSubscribe);
        mosquitto_subscribe_callback_set(mosq, onSubscribed);
        if (mosquitto_connect(mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS)
            return 1;
        all.push_back(mosq);
    }
    const bool ready = kro::bench::waitUntil(
        [&] {
            for (const Idle& s : idle)
                if (s.subscribed == 0)
                    return false;
            return true;
        },
        std::chrono::seconds(30));
    kro::bench::writeFile(o.text("result", "/dev/null"), ready ? "ready\n" : "not ready\n");
    while (nowNs() < deadline)
        kro::bench::sleepMs(50);
    for (mosquitto* mosq : all) {
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        mosquitto_destroy(mosq);
    }
    return ready ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const kro::bench::Options o(
        argc, argv,
        {"port", "topic", "count", "clients", "id", "qos", "idle-ms", "timeout-s", "result"});
    mosquitto_lib_init();
    const int rc = o.has("clients") ? clientsMode(o) : countMode(o);
    mosquitto_lib_cleanup();
    return rc;
}
