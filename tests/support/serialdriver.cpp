// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "serialdriver.h"
#include "testplatform.h"

#include <umockdev.h>

#include <QDebug>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <mutex>
#include <sys/ioctl.h>

namespace NivoraTest {

struct SerialDriver::State {
    Behaviour behaviour = Accepts;
    std::atomic<int> flags{0};
    std::atomic<int> settingsChanged{0};
    std::mutex mutex;
    std::function<void(int)> flagsChanged;
};

namespace {

struct NivoraSerialDriver {
    UMockdevIoctlBase parent;
    SerialDriver::State *state;
};

struct NivoraSerialDriverClass {
    UMockdevIoctlBaseClass parentClass;
};

G_DEFINE_TYPE(NivoraSerialDriver, nivora_serial_driver, UMOCKDEV_TYPE_IOCTL_BASE)

gboolean handleIoctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client)
{
    SerialDriver::State *state = reinterpret_cast<NivoraSerialDriver *>(base)->state;
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (request != TIOCGSERIAL && request != TIOCSSERIAL) {
        int error = 0;
        const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }
    if (state->behaviour == SerialDriver::NoSerialIoctls
        || (request == TIOCSSERIAL && state->behaviour == SerialDriver::RefusesSettings)) {
        umockdev_ioctl_client_complete(client, -1, state->behaviour == SerialDriver::NoSerialIoctls ? ENOTTY : EPERM);
        return TRUE;
    }
    // The serial_struct in the client's memory, fetched into the handler.
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(serial_struct), &error);
    if (!data) {
        qWarning() << "Cannot read the serial_struct of the ioctl:" << (error ? error->message : "");
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    serial_struct serial;
    if (request == TIOCGSERIAL) {
        std::memset(&serial, 0, sizeof(serial));
        serial.type = PORT_16550A;
        serial.baud_base = 24000000;
        serial.flags = state->flags;
        std::memcpy(data->data, &serial, sizeof(serial));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    std::memcpy(&serial, data->data, sizeof(serial));
    state->flags = serial.flags;
    ++state->settingsChanged;
    umockdev_ioctl_client_complete(client, 0, 0);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->flagsChanged)
        state->flagsChanged(serial.flags);
    return TRUE;
}

void nivora_serial_driver_class_init(NivoraSerialDriverClass *driverClass)
{
    UMOCKDEV_IOCTL_BASE_CLASS(driverClass)->handle_ioctl = handleIoctl;
}

void nivora_serial_driver_init(NivoraSerialDriver *driver)
{
    driver->state = nullptr;
}

} // namespace

SerialDriver::SerialDriver(TestPlatform *platform, const QString &deviceName, Behaviour behaviour, int flags) :
    m_platform(platform),
    m_devicePath(TestPlatform::devicePath(deviceName)),
    m_state(std::make_shared<State>())
{
    m_state->behaviour = behaviour;
    m_state->flags = flags;
    auto *driver = static_cast<NivoraSerialDriver *>(g_object_new(nivora_serial_driver_get_type(), nullptr));
    driver->state = m_state.get();
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(platform->testbed(), m_devicePath.toUtf8().constData(),
                                       UMOCKDEV_IOCTL_BASE(driver), &error)) {
        qWarning() << "Cannot attach the serial driver to" << m_devicePath << (error ? error->message : "");
        g_clear_error(&error);
        g_object_unref(driver);
        return;
    }
    m_handler = driver;
}

SerialDriver::~SerialDriver()
{
    if (!m_handler)
        return;
    umockdev_testbed_detach_ioctl(m_platform->testbed(), m_devicePath.toUtf8().constData(), nullptr);
    g_object_unref(static_cast<NivoraSerialDriver *>(m_handler));
}

bool SerialDriver::isAttached() const
{
    return m_handler != nullptr;
}

int SerialDriver::flags() const
{
    return m_state->flags;
}

int SerialDriver::settingsChanged() const
{
    return m_state->settingsChanged;
}

void SerialDriver::setFlagsChangedHandler(std::function<void(int)> handler)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->flagsChanged = std::move(handler);
}

} // namespace NivoraTest
