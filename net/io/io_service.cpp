#include "net/io/io_service.h"

#include "net/io/iocp_io_service.h"

i_service_registry::~i_service_registry()
{
    shutdown_services();
    for (i_service* service : m_services)
        delete service;
    m_services.clear();
}

void i_service_registry::shutdown_services()
{
    std::vector<i_service*> services;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_shut_down)
            return;
        m_shut_down = true;
        services = m_services;
    }
    for (i_service* service : services)
        service->shutdown_service();
}

i_service* i_service_registry::find(const std::type_index& id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (i_service* service : m_services) {
        if (service->m_type == id)
            return service;
    }
    return nullptr;
}

i_service* i_service_registry::add(i_service* created, const std::type_index& id)
{
    created->m_type = id;
    i_service* existing = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (i_service* service : m_services) {
            if (service->m_type == id) {
                existing = service;
                break;
            }
        }
        if (!existing)
            m_services.push_back(created);
    }
    if (!existing)
        return created;
    // Another thread made one meanwhile: keep the first.
    delete created;
    return existing;
}

i_io_service::i_io_service() : m_registry(*this), m_impl(&m_registry.use_service<i_iocp_io_service>()) {}

i_io_service::~i_io_service() = default;

std::uint32_t i_io_service::run()
{
    return m_impl->run();
}
void i_io_service::stop()
{
    m_impl->stop();
}
void i_io_service::set_stopped()
{
    m_impl->set_stopped();
}
bool i_io_service::pause()
{
    return m_impl->pause();
}
void i_io_service::restart()
{
    m_impl->restart();
}
void i_io_service::shutdown()
{
    m_impl->shutdown_service();
}
std::uint32_t i_io_service::poll()
{
    return m_impl->poll();
}
std::uint32_t i_io_service::run_abandoned(std::uint32_t limit)
{
    return m_impl->run_abandoned(limit);
}

bool i_io_service::stopped() const
{
    return m_impl->stop_requested() || m_impl->is_stopped() || m_impl->is_shut_down();
}

std::uint32_t i_io_service::post(i_handler function, void* context)
{
    return m_impl->post(function, context, 0);
}
