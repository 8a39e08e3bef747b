// The client core's engine events: each ICmdEvent operation becomes one
// launcher callback with its payload, and some change the task lists.
#include "engine/client_main.h"

#include "engine/bitmap_file.h"
#include "engine/callback_payload.h"
#include "engine/engine_flags.h"
#include "engine/folder_text.h"
#include "platform/paths.h"
#include "report/client_log.h"

#include <cstring>

namespace {

const char* OrEmpty(const char* text)
{
    return text ? text : "";
}

}   // namespace

// The callbacks this thread raises while it holds the build lock.
thread_local std::vector<CClientMain::HeldCallback>* CClientMain::t_held = nullptr;

CClientMain::CallbackHold::CallbackHold(std::vector<HeldCallback>& held) : m_outer(t_held)
{
    t_held = &held;
}

CClientMain::CallbackHold::~CallbackHold()
{
    t_held = m_outer;
}

void CClientMain::DeliverHeld(const std::vector<HeldCallback>& held)
{
    for (const HeldCallback& h : held)
        Callback(h.code, h.copied ? reinterpret_cast<std::uintptr_t>(h.payload.data()) : h.value);
}

void CClientMain::Callback(std::uint32_t code, std::uintptr_t data)
{
    // Only events carrying a value or a copy are raised under the build
    // lock: a pointer to the raiser's own data would not outlive the hold.
    if (t_held) {
        t_held->push_back(HeldCallback{code, data, {}, false});
        return;
    }
    if (EngineCallback callback = m_callback.load())
        callback(code, data, m_user.load());
}

void CClientMain::CallbackCopy(std::uint32_t code, const std::vector<std::uint8_t>& payload)
{
    if (!m_callback.load())
        return;
    if (t_held) {
        t_held->push_back(HeldCallback{code, 0, payload, true});
        return;
    }
    // The payload is built for this call and goes right after it returns.
    Callback(code, reinterpret_cast<std::uintptr_t>(payload.data()));
}

bool CClientMain::Delivering() const
{
    return m_callback.load() && !engine_flags::shutting_down();
}

void CClientMain::RaiseText(std::uint32_t code, const char* text)
{
    text = OrEmpty(text);
    WriteClientLog(text);
    if (!Delivering())
        return;
    CallbackPayload payload;
    payload.Text(text);
    CallbackCopy(code, payload.Bytes());
}

void CClientMain::OnErrorOutput(const char* text)
{
    RaiseText(CBE_ERROR_OUTPUT, text);
}

void CClientMain::OnTextOutput(const char* text)
{
    RaiseText(CBE_TEXT_OUTPUT, text);
}

void CClientMain::OnTaskMessage(const char* text, std::uint32_t value)
{
    text = OrEmpty(text);
    WriteClientLog(text);
    if (!Delivering())
        return;
    CallbackPayload payload;
    payload.U32(value).Text(text);
    CallbackCopy(CBE_TASK_MESSAGE, payload.Bytes());
}

std::string CClientMain::ChooseBitmapFolder()
{
    std::string first = engine_flags::bitmap_folder();
    if (!first.empty() && platform::folder_exists(first))
        return first;
    std::lock_guard<std::mutex> guard(m_folder_lock);
    if (!platform::folder_exists(m_fallback_bitmap_folder)) {
        m_fallback_bitmap_folder = platform::velmar_dir();
        platform::create_folder(m_fallback_bitmap_folder);
    }
    return m_fallback_bitmap_folder;
}

void CClientMain::OnBitmapSaved(std::uint64_t task_id, const std::vector<std::uint8_t>& bitmap,
                                const std::vector<std::vector<std::uint8_t>>& piece_tables)
{
    m_completed.StoreBitmap(task_id, bitmap, piece_tables);
    m_running.StoreBitmap(task_id, bitmap, piece_tables);
    std::string folder;
    {
        std::lock_guard<std::mutex> guard(m_bitmap_write_lock);
        folder = ChooseBitmapFolder();
    }
    const std::string path = TrimSaveFolder(folder) + platform::path_separator +
                             std::to_string(static_cast<std::int64_t>(task_id)) + ".bbm";
    // Written through a temporary file: a crash leaves the old bitmap or
    // the new one, never a torn one; a failed write is not reported as saved.
    if (!WriteBitmapFile(path, bitmap, piece_tables)) {
        WriteClientLog("bitmap file not written: " + path + "\n");
        return;
    }
    if (!Delivering())
        return;
    CallbackPayload payload;
    payload.U64(task_id).Text(path.c_str());
    CallbackCopy(CBE_TASK_BBM_SAVE_FINISHED, payload.Bytes());
}

void CClientMain::OnTaskInfo(std::uint64_t task_id, const char* text, std::uint32_t type, std::uint32_t a,
                             std::uint32_t b, std::uint32_t c)
{
    text = OrEmpty(text);
    if (type == 0 || type == 10) {
        // Sent from the report thread: the caller may be the I/O thread.
        CTaskReportSender::Report report;
        report.task_id = task_id;
        report.client_id = m_client_id.load();
        report.a = a;
        report.b = b;
        report.c = c;
        report.type = static_cast<std::uint8_t>(type);
        report.cis_list = GetCisList();
        m_reports.Post(report);
    }
    if (!m_callback.load())
        return;
    CallbackPayload payload;
    payload.U64(task_id).Text(text).U32(type);
    CallbackCopy(CBE_TASK_INFO, payload.Bytes());
}

void CClientMain::OnDownloadProgress(std::uint64_t task_id, std::uint64_t downloaded, std::uint64_t total)
{
    if (!Delivering())
        return;
    CallbackPayload payload;
    payload.U64(task_id).U64(downloaded).U64(total);
    CallbackCopy(CBE_DOWNLOAD_PROGRESS, payload.Bytes());
}

void CClientMain::OnTaskCompleted(std::uint64_t task_id)
{
    ClientTaskRecord record;
    if (!m_running.Copy(task_id, record))
        return;
    record.state = 2;
    CompletedAdd(record);   // only a task that ran counts as completed
    m_running.Remove(task_id);
    Callback(CBE_TASK_COMPLETED, reinterpret_cast<std::uintptr_t>(&task_id));
}

void CClientMain::OnTaskSpeed(std::uint64_t task_id, float download_kbps, float upload_kbps)
{
    if (!Delivering())
        return;
    CallbackPayload payload;
    payload.U64(task_id).F32(download_kbps).F32(upload_kbps);
    CallbackCopy(CBE_TASK_SPEED, payload.Bytes());
}

void CClientMain::OnTaskRun(std::uint64_t task_id, std::uint32_t flag)
{
    if (flag != 0)
        return;
    ClientTaskRecord record;
    if (!m_running.Copy(task_id, record))
        return;
    record.state = 1;
    record.ran = 1;
    m_running.Overwrite(record);
    Callback(CBE_TASK_RUN, reinterpret_cast<std::uintptr_t>(&task_id));
}

void CClientMain::OnTaskStop(std::uint64_t task_id)
{
    m_running.Remove(task_id);
    m_completed.Remove(task_id);
    Callback(CBE_TASK_STOP, reinterpret_cast<std::uintptr_t>(&task_id));
}

void CClientMain::OnGlobalSpeed(float download_kbps, float upload_kbps)
{
    if (!Delivering())
        return;
    CallbackPayload payload;
    payload.F32(download_kbps).F32(upload_kbps);
    CallbackCopy(CBE_GLOBAL_SPEED, payload.Bytes());
}
