#include "net/io/deadline_timer.h"

#include "platform/tick.h"

i_basic_deadline_timer_service::i_basic_deadline_timer_service(i_io_service& owner)
    : i_service(owner), m_reactor(owner.use_service<i_select_reactor>())
{
}

i_deadline_timer::i_deadline_timer(i_io_service& io)
    : m_io(io), m_service(io.use_service<i_basic_deadline_timer_service>())
{
    m_impl.expiry = platform::tick_count();
}

i_deadline_timer::~i_deadline_timer()
{
    cancel();
}

void i_deadline_timer::expires_from_now(std::uint32_t ms)
{
    cancel();
    m_impl.expiry = platform::tick_count() + ms;
}

void i_deadline_timer::async_wait(i_handler function, void* context)
{
    m_impl.pending = 1;
    m_service.reactor().add_wait(m_impl, function, context);
}

void i_deadline_timer::cancel()
{
    // Waits that already expired were taken out of the queue: nothing of
    // them is left to cancel, their handlers run with 0.
    m_service.reactor().cancel_waits(m_impl);
    m_impl.pending = 0;
}
