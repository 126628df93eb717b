#include <algorithm>

#include "kro_host.h"

namespace kro::host {

namespace {

struct Observers {
    std::mutex mutex; // held while observers run, so they never run concurrently
    int nextId = 1;
    std::vector<std::pair<int, Observer>> list;
};

Observers& observers() {
    static Observers o;
    return o;
}

void notify(Event::Kind kind, const std::string& name, const std::string& value) {
    Observers& o = observers();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (o.list.empty())
        return;
    Event e{kind, name, value};
    for (auto& entry : o.list)
        entry.second(e);
}

} // namespace

int addObserver(Observer observer) {
    Observers& o = observers();
    std::lock_guard<std::mutex> lock(o.mutex);
    int id = o.nextId++;
    o.list.emplace_back(id, std::move(observer));
    return id;
}

void removeObserver(int id) {
    Observers& o = observers();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.list.erase(std::remove_if(o.list.begin(), o.list.end(),
                                [id](const auto& entry) { return entry.first == id; }),
                 o.list.end());
}

DvcVariable::DvcVariable(std::string deviceId, VarSpec def)
    : m_deviceId(std::move(deviceId)), m_spec(std::move(def)), m_value(m_spec.value) {}

std::string DvcVariable::getName() {
    return m_spec.name;
}
int DvcVariable::getSize() {
    return m_spec.size;
}
std::string DvcVariable::getAddrType() {
    return m_spec.addrType;
}
std::string DvcVariable::getAddr() {
    return m_spec.addr;
}
std::string DvcVariable::getDeviceId() {
    return m_deviceId;
}

bool DvcVariable::setStrValue(const char* text, bool) {
    std::string v = text ? text : "";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_value = v;
    }
    notify(Event::Kind::Variable, m_deviceId + "." + m_spec.name, v);
    return true;
}

const char* DvcVariable::getStrValue() {
    // One buffer per thread: the pointer stays valid for the caller until its
    // next call, whatever other threads do meanwhile.
    thread_local std::string buffer;
    std::lock_guard<std::mutex> lock(m_mutex);
    buffer = m_value;
    return buffer.c_str();
}

std::string DvcVariable::value() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_value;
}

Device::Device(std::string id) : m_id(std::move(id)) {}

std::string Device::getId() {
    return m_id;
}

std::vector<IDvcVariable*> Device::getVarList() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<IDvcVariable*> list;
    list.reserve(m_vars.size());
    for (auto& v : m_vars)
        list.push_back(v.get());
    return list;
}

std::shared_ptr<DvcVariable> Device::addVariable(VarSpec def) {
    auto var = std::make_shared<DvcVariable>(m_id, std::move(def));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vars.push_back(var);
    return var;
}

std::shared_ptr<DvcVariable> Device::variable(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& v : m_vars)
        if (v->getName() == name)
            return v;
    return nullptr;
}

std::vector<std::shared_ptr<DvcVariable>> Device::variables() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_vars;
}

IDevice* DeviceManager::getDevice(const std::string& id) {
    return device(id);
}

Device* DeviceManager::addDevice(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& d : m_devices)
        if (d->getId() == id)
            return d.get();
    m_devices.push_back(std::make_unique<Device>(id));
    return m_devices.back().get();
}

Device* DeviceManager::device(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& d : m_devices)
        if (d->getId() == id)
            return d.get();
    return nullptr;
}

std::vector<Device*> DeviceManager::devices() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Device*> list;
    for (auto& d : m_devices)
        list.push_back(d.get());
    return list;
}

bool VarManager::getStrVar(const std::string& name, std::string& out, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_vars.find(name);
    if (it == m_vars.end())
        return false;
    out = it->second.isInt ? std::to_string(it->second.i) : it->second.s;
    return true;
}

void VarManager::setIntVar(const std::string& name, int value, int) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Value& v = m_vars[name];
        v.isInt = true;
        v.i = value;
        v.s.clear();
    }
    notify(Event::Kind::RuntimeInt, name, std::to_string(value));
}

void VarManager::setStrVar(const std::string& name, const std::string& value, int) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Value& v = m_vars[name];
        v.isInt = false;
        v.i = 0;
        v.s = value;
    }
    notify(Event::Kind::RuntimeStr, name, value);
}

bool VarManager::getIntVar(const std::string& name, int& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_vars.find(name);
    if (it == m_vars.end() || !it->second.isInt)
        return false;
    out = it->second.i;
    return true;
}

void VarManager::erase(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vars.erase(name);
}

void VarManager::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vars.clear();
}

std::vector<std::pair<std::string, std::string>> VarManager::snapshot() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& [name, v] : m_vars)
        out.emplace_back(name, v.isInt ? std::to_string(v.i) : v.s);
    return out;
}

IVarManager* Runtime::getVarManager() {
    return &m_vars;
}

Runtime& runtime() {
    static Runtime instance;
    return instance;
}

} // namespace kro::host

namespace kro {
IRuntime* getRuntime() {
    return &host::runtime();
}
} // namespace kro
