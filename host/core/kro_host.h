#pragma once

// The stand-in host runtime's own interface, used by the host runner and the
// tests to build devices, read the store and watch every write. Drivers never
// include this: they know the host only through include/kro/.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kro/kro.h"

namespace kro::host {

// One change in the store, as an observer sees it.
struct Event {
    enum class Kind { Variable, RuntimeInt, RuntimeStr };
    Kind kind;
    std::string name; // "<device>.<variable>" for device variables
    std::string value;
};

using Observer = std::function<void(const Event&)>;

// Observers are called after every write, one at a time (never concurrently),
// on the writing thread. The id is for removeObserver.
KRO_CORE_API int addObserver(Observer observer);
KRO_CORE_API void removeObserver(int id);

struct VarSpec {
    std::string name;
    int size = 0;
    std::string addrType;
    std::string addr;
    std::string value;
};

class KRO_CORE_API DvcVariable : public IDvcVariable {
public:
    DvcVariable(std::string deviceId, VarSpec def);

    std::string getName() override;
    int getSize() override;
    std::string getAddrType() override;
    std::string getAddr() override;
    std::string getDeviceId() override;
    bool setStrValue(const char* text, bool flag) override;
    const char* getStrValue() override;

    // The value as a string, safe to keep.
    std::string value();

private:
    const std::string m_deviceId;
    const VarSpec m_spec; // value member unused after construction
    mutable std::mutex m_mutex;
    std::string m_value;
};

class KRO_CORE_API Device : public IDevice {
public:
    explicit Device(std::string id);

    std::string getId() override;
    std::vector<IDvcVariable*> getVarList() override;

    std::shared_ptr<DvcVariable> addVariable(VarSpec def);
    // Null when the device has no variable of that name.
    std::shared_ptr<DvcVariable> variable(const std::string& name);
    std::vector<std::shared_ptr<DvcVariable>> variables();

private:
    const std::string m_id;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<DvcVariable>> m_vars;
};

class KRO_CORE_API DeviceManager : public IDeviceManager {
public:
    IDevice* getDevice(const std::string& id) override;

    // Creates the device, or returns the existing one with that id.
    Device* addDevice(const std::string& id);
    Device* device(const std::string& id);
    std::vector<Device*> devices();

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Device>> m_devices;
};

class KRO_CORE_API VarManager : public IVarManager {
public:
    bool getStrVar(const std::string& name, std::string& out, int flag) override;
    void setIntVar(const std::string& name, int value, int flag) override;
    void setStrVar(const std::string& name, const std::string& value, int flag) override;

    // False when the variable does not exist or holds text.
    bool getIntVar(const std::string& name, int& out);
    void erase(const std::string& name);
    void clear();
    // Every variable with its value as text, sorted by name.
    std::vector<std::pair<std::string, std::string>> snapshot();

private:
    struct Value {
        bool isInt = false;
        int i = 0;
        std::string s;
    };
    std::mutex m_mutex;
    std::map<std::string, Value> m_vars;
};

class KRO_CORE_API Runtime : public IRuntime {
public:
    IVarManager* getVarManager() override;
    VarManager& vars() { return m_vars; }

private:
    VarManager m_vars;
};

// The instance getRuntime() hands out.
KRO_CORE_API Runtime& runtime();

} // namespace kro::host
