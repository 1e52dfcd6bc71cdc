// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "doctor.h"
#include "commands.h"
#include "printer.h"
#include "waiter.h"

#include "adapter/nivoravexbususbadapter.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace NivoraVexbusUsb;

namespace {

const QString ourRule = QStringLiteral("60-nivora-vexbususb.rules");
const QString linkFolder = QStringLiteral("/dev/vexbus/by-serial/");
const QString serviceName = QStringLiteral("vexbusd");

QString userName()
{
    const struct passwd *user = ::getpwuid(::getuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(::getuid());
}

bool userIsListedIn(const struct group *group)
{
    const QByteArray name = userName().toLocal8Bit();
    for (char **member = group->gr_mem; member && *member; ++member) {
        if (name == *member)
            return true;
    }
    return false;
}

QString ttyName(const QString &ttyPath)
{
    return QFileInfo(ttyPath).fileName();
}

// The line a udev rule needs to match one of the adapter's identities, in
// the two forms that rules use: the sysfs attributes, or the PRODUCT
// variable of the USB event ("403/6001/600", without leading zeros).
bool claimsIdentity(const QString &line, const QString &identity)
{
    const QString vendor = identity.section(QLatin1Char(':'), 0, 0);
    const QString product = identity.section(QLatin1Char(':'), 1, 1);
    const QRegularExpression attributes(QStringLiteral("idVendor\\}==\"%1\".*idProduct\\}==\"%2\"").arg(vendor, product),
                                        QRegularExpression::CaseInsensitiveOption);
    QString shortVendor = vendor;
    while (shortVendor.startsWith(QLatin1Char('0')))
        shortVendor.remove(0, 1);
    const QRegularExpression productVariable(QStringLiteral("PRODUCT\\}==\"%1/%2/").arg(shortVendor, product),
                                             QRegularExpression::CaseInsensitiveOption);
    return attributes.match(line).hasMatch() || productVariable.match(line).hasMatch();
}

// The adapter's link that our udev rule makes; empty without it.
QString stableLink(const SystemSurvey::UsbAdapter &adapter)
{
    const QStringList links = adapter.ttyProperties.value(QStringLiteral("DEVLINKS")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &candidate : links) {
        if (candidate.startsWith(linkFolder))
            return candidate;
    }
    return QString();
}

QString driverAction(const SystemSurvey::UsbAdapter &adapter)
{
    if (adapter.vendorId == QLatin1String("0403"))
        return QStringLiteral("load the FTDI driver: sudo modprobe ftdi_sio (then plug the adapter in again).");
    // A communications class interface is cdc_acm's; a vendor-specific one
    // needs the generic USB serial driver told the identity.
    if (adapter.interfaceClass == QLatin1String("02") || adapter.interfaceClass == QLatin1String("0a"))
        return QStringLiteral("load the CDC ACM driver: sudo modprobe cdc_acm (then plug the adapter in again).");
    return QStringLiteral("let the generic USB serial driver take it: sudo modprobe usbserial && echo %1 %2 | sudo tee "
                          "/sys/bus/usb-serial/drivers/generic/new_id")
            .arg(adapter.vendorId, adapter.productId);
}

} // namespace

Doctor::Doctor(const Options &options, const TerminationSignals *terminationSignals) :
    m_options(options),
    m_terminationSignals(terminationSignals)
{
    m_ruleFiles = SystemSurvey::ruleFiles(options.ruleFolders.isEmpty() ? SystemSurvey::defaultRuleFolders()
                                                                           : options.ruleFolders);
}

bool Doctor::hasProblem() const
{
    for (const DoctorFinding &finding : m_findings) {
        if (finding.severity() == DoctorFinding::Problem)
            return true;
    }
    return false;
}

void Doctor::add(const QString &check, DoctorFinding::Severity severity, const QString &message, const QString &action)
{
    m_findings << DoctorFinding(check, severity, message, action);
}

QString Doctor::ruleFile() const
{
    return m_ruleFiles.value(ourRule);
}

bool Doctor::run()
{
    const QList<Target> checked = targets();
    for (const Target &target : checked) {
        checkUsb(target);
        if (target.ttyPath.isEmpty())
            continue;
        if (target.usb)
            checkUdevRule(target);
        const bool openable = checkPermission(target);
        const bool free = checkPortInUse(target);
        if (target.usb)
            checkLatencyTimer(target, openable && free);
        if (openable && free && !checkController(target))
            return false;
    }
    checkModemManager(checked);
    checkBrltty(checked);
    return true;
}

QList<Doctor::Target> Doctor::targets()
{
    const QList<SystemSurvey::UsbAdapter> adapters = SystemSurvey::usbAdapters();
    QList<Target> targets;
    if (!m_options.port.isEmpty()) {
        Target target;
        target.ttyPath = m_options.port;
        const QString resolved = SystemSurvey::resolveLinks(m_options.port);
        for (const SystemSurvey::UsbAdapter &adapter : adapters) {
            if (!adapter.ttyPath.isEmpty() && (adapter.ttyPath == m_options.port || adapter.ttyPath == resolved)) {
                target.usb = true;
                target.adapter = adapter;
            }
        }
        targets << target;
        return targets;
    }
    for (const SystemSurvey::UsbAdapter &adapter : adapters) {
        if (!adapter.serialNumber.startsWith(m_options.serialPrefix))
            continue;
        Target target;
        target.ttyPath = adapter.ttyPath;
        target.usb = true;
        target.adapter = adapter;
        targets << target;
    }
    if (targets.isEmpty()) {
        if (m_options.serialPrefix.isEmpty()) {
            add(QStringLiteral("usb"), DoctorFinding::Problem,
                QStringLiteral("no USB device 0403:6001 or 04b4:f139 is connected."),
                QStringLiteral("plug the adapter in (lsusb lists what the system sees); try another cable or USB port."));
        } else {
            add(QStringLiteral("usb"), DoctorFinding::Problem,
                QStringLiteral("no adapter with a serial number starting with \"%1\" is connected (%2 other).")
                        .arg(m_options.serialPrefix).arg(adapters.count()),
                QStringLiteral("plug it in, or check the serial number: vexbusctl doctor without --serial lists every adapter."));
        }
    }
    return targets;
}

void Doctor::checkUsb(const Target &target)
{
    const QString check = QStringLiteral("usb");
    if (!target.usb) {
        if (!QFileInfo::exists(target.ttyPath)) {
            // Tty numbers follow the order in which adapters appear: after a
            // reboot or a replug the adapter is often there under another one.
            QStringList present;
            for (const SystemSurvey::UsbAdapter &adapter : SystemSurvey::usbAdapters()) {
                if (adapter.ttyPath.isEmpty())
                    continue;
                const QString link = stableLink(adapter);
                present << QStringLiteral("%1 (serial number %2%3)").arg(adapter.ttyPath, adapter.serialNumber,
                                                                         link.isEmpty() ? QString() : QStringLiteral(", stable name ") + link);
            }
            add(check, DoctorFinding::Problem, QStringLiteral("%1 does not exist.").arg(target.ttyPath),
                present.isEmpty() ? QStringLiteral("give the adapter's tty or its link in /dev/vexbus/by-serial/ (vexbusctl list shows them).")
                                  : QStringLiteral("tty numbers change when adapters are plugged in or the system starts; the adapters "
                                                   "are at %1 now. Give the stable name, or --serial.").arg(present.join(QStringLiteral(", "))));
        } else {
            add(check, DoctorFinding::Warning,
                QStringLiteral("%1 is no tty of a USB adapter that the system lists (a serial bridge or pseudo-terminal?): "
                               "the USB checks do not apply.").arg(target.ttyPath));
        }
        return;
    }

    const SystemSurvey::UsbAdapter &adapter = target.adapter;
    const QString device = QStringLiteral("%1 serial number %2").arg(adapter.identity(),
                                                                     adapter.serialNumber.isEmpty() ? QStringLiteral("-") : adapter.serialNumber);
    if (!adapter.ttyPath.isEmpty()) {
        add(check, DoctorFinding::Ok, QStringLiteral("%1: %2 (driver %3).").arg(device, adapter.ttyPath, adapter.driver));
    } else if (adapter.driver.isEmpty()) {
        add(check, DoctorFinding::Problem, QStringLiteral("%1 has no tty: no driver is bound to it.").arg(device),
            driverAction(adapter));
    } else if (adapter.driver == QLatin1String("usbfs")) {
        add(check, DoctorFinding::Problem,
            QStringLiteral("%1 has no tty: a program took it through usbfs (brltty does so with 0403:6001).").arg(device),
            QStringLiteral("end that program or keep it off the adapter (see the brltty check), then plug the adapter in again."));
    } else {
        add(check, DoctorFinding::Problem, QStringLiteral("%1 has no tty: driver %2 holds it and makes none.").arg(device, adapter.driver),
            QStringLiteral("echo %1 | sudo tee /sys/bus/usb/drivers/%2/unbind; then %3")
                    .arg(adapter.interfaceName, adapter.driver, driverAction(adapter)));
    }
}

void Doctor::checkUdevRule(const Target &target)
{
    const QString check = QStringLiteral("udev-rule");
    const SystemSurvey::UsbAdapter &adapter = target.adapter;
    const bool ignored = adapter.ttyProperties.value(QStringLiteral("ID_MM_DEVICE_IGNORE")) == QLatin1String("1");
    const QString link = stableLink(adapter);
    if (ignored && !link.isEmpty()) {
        add(check, DoctorFinding::Ok, QStringLiteral("applied to %1: ModemManager leaves it alone, and %2 stays its name "
                                                     "when tty numbers change.").arg(target.ttyPath, link));
        return;
    }

    QStringList missing;
    if (!ignored)
        missing << QStringLiteral("ID_MM_DEVICE_IGNORE");
    if (link.isEmpty())
        missing << QStringLiteral("the link in ") + linkFolder;
    const QString trigger = QStringLiteral("sudo udevadm control --reload && sudo udevadm trigger --action=add /sys/class/tty/%1")
                                    .arg(ttyName(target.ttyPath));
    if (ruleFile().isEmpty()) {
        add(check, DoctorFinding::Warning,
            QStringLiteral("%1 is not installed: %2 has no %3, so ModemManager may probe it and its name may change "
                           "after a reboot.").arg(ourRule, target.ttyPath, missing.join(QStringLiteral(" and "))),
            QStringLiteral("install %1 (from the package, or udev/ in the source) into /etc/udev/rules.d, then: %2")
                    .arg(ourRule, trigger));
        return;
    }
    add(check, DoctorFinding::Warning,
        QStringLiteral("%1 is installed but %2 has no %3: udev has not applied it since.")
                .arg(ruleFile(), target.ttyPath, missing.join(QStringLiteral(" and "))),
        trigger + QStringLiteral(" (or plug the adapter in again)."));
}

void Doctor::checkModemManager(const QList<Target> &targets)
{
    const QString check = QStringLiteral("modemmanager");
    const QList<SystemSurvey::Process> processes = SystemSurvey::processesNamed(QStringLiteral("ModemManager"));
    if (processes.isEmpty()) {
        add(check, DoctorFinding::Ok, QStringLiteral("ModemManager is not running."));
        return;
    }
    QStringList exposed;
    for (const Target &target : targets) {
        if (target.usb && !target.ttyPath.isEmpty()
                && target.adapter.ttyProperties.value(QStringLiteral("ID_MM_DEVICE_IGNORE")) != QLatin1String("1"))
            exposed << target.ttyPath;
    }
    const QString running = QStringLiteral("ModemManager runs (pid %1)").arg(processes.first().pid);
    if (exposed.isEmpty()) {
        add(check, DoctorFinding::Ok, running + QStringLiteral(" and leaves the adapters alone."));
        return;
    }
    add(check, DoctorFinding::Problem,
        running + QStringLiteral(" and may probe %1 with AT commands, which disturb the controller, since our udev rule "
                                 "does not mark it.").arg(exposed.join(QStringLiteral(", "))),
        QStringLiteral("install and apply %1 (see udev-rule), or stop ModemManager: sudo systemctl stop ModemManager.").arg(ourRule));
}

void Doctor::checkBrltty(const QList<Target> &targets)
{
    const QString check = QStringLiteral("brltty");
    QStringList names;
    for (auto it = m_ruleFiles.cbegin(); it != m_ruleFiles.cend(); ++it) {
        if (it.key().contains(QLatin1String("brltty")))
            names << it.key();
    }
    if (names.isEmpty()) {
        add(check, DoctorFinding::Ok, QStringLiteral("brltty is not installed (no udev rule of it)."));
        return;
    }
    names.sort();

    QStringList present;
    for (const Target &target : targets) {
        if (target.usb)
            present << target.adapter.identity();
    }
    for (const QString &name : names) {
        QFile file(m_ruleFiles.value(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        for (int i = 0; i < lines.count(); ++i) {
            const QString line = lines.at(i).trimmed();
            if (line.startsWith(QLatin1Char('#')))
                continue;
            for (const QString &identity : SystemSurvey::adapterIdentities()) {
                if (!claimsIdentity(line, identity))
                    continue;
                // Only a problem for an adapter that is there, or when none
                // is found: brltty may be why.
                const bool harms = present.contains(identity) || present.isEmpty();
                add(check, harms ? DoctorFinding::Problem : DoctorFinding::Warning,
                    QStringLiteral("brltty's rule %1 (line %2) claims %3 for a braille display and takes the adapter away "
                                   "from its serial driver.").arg(file.fileName()).arg(i + 1).arg(identity),
                    QStringLiteral("without a braille display: sudo apt remove brltty; with one, mask the rule: "
                                   "sudo ln -s /dev/null /etc/udev/rules.d/%1; then plug the adapter in again.").arg(name));
                return;
            }
        }
    }
    add(check, DoctorFinding::Ok, QStringLiteral("brltty's rules (%1) do not claim 0403:6001 or 04b4:f139.")
                                          .arg(names.join(QStringLiteral(", "))));
}

bool Doctor::checkPermission(const Target &target)
{
    const QString check = QStringLiteral("permission");
    const QByteArray path = QFile::encodeName(target.ttyPath);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int openError = errno;
    if (fd >= 0)
        ::close(fd);
    if (fd >= 0 || openError == EBUSY) {
        add(check, DoctorFinding::Ok, QStringLiteral("%1 may open %2.").arg(userName(), target.ttyPath));
        return true;
    }
    if (openError != EACCES && openError != EPERM) {
        add(check, DoctorFinding::Problem, QStringLiteral("%1 cannot be opened: %2.").arg(target.ttyPath, QString::fromLocal8Bit(strerror(openError))),
            QStringLiteral("plug the adapter in again; the kernel log (sudo dmesg) tells what the driver found."));
        return false;
    }

    struct stat status = {};
    const bool haveStatus = ::stat(path.constData(), &status) == 0;
    const struct group *group = haveStatus ? ::getgrgid(status.st_gid) : nullptr;
    const struct passwd *owner = haveStatus ? ::getpwuid(status.st_uid) : nullptr;
    const QString groupName = group ? QString::fromLocal8Bit(group->gr_name) : QString::number(status.st_gid);
    const QString ownership = QStringLiteral("owner %1, group %2, mode %3")
                                      .arg(owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(status.st_uid), groupName)
                                      .arg(status.st_mode & 0777, 4, 8, QLatin1Char('0'));
    const QString denied = QStringLiteral("%1 may not open %2 (%3)").arg(userName(), target.ttyPath, ownership);
    if (!group || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        add(check, DoctorFinding::Problem, denied + QStringLiteral(": only its owner may use it."),
            QStringLiteral("a udev rule with GROUP=\"dialout\", MODE=\"0660\" for the adapter lets the members of dialout in."));
    } else if (userIsListedIn(group)) {
        add(check, DoctorFinding::Problem, denied + QStringLiteral(": %1 is in the group %2, but not yet in this session.")
                                                    .arg(userName(), groupName),
            QStringLiteral("log out and in again (or run: newgrp %1).").arg(groupName));
    } else {
        add(check, DoctorFinding::Problem, denied + QLatin1Char('.'),
            QStringLiteral("join the group %1: sudo usermod -aG %1 %2, then log in again.").arg(groupName, userName()));
    }
    return false;
}

bool Doctor::checkPortInUse(const Target &target)
{
    const QString check = QStringLiteral("port-in-use");
    const QList<SystemSurvey::Process> holders = SystemSurvey::processesHolding(target.ttyPath);
    SystemSurvey::Process holder = holders.value(0);
    const SystemSurvey::LockFile lock = SystemSurvey::lockFile(target.ttyPath);
    QString how = QStringLiteral("has %1 open").arg(target.ttyPath);
    if (holders.isEmpty() && lock.running) {
        holder = SystemSurvey::Process{lock.pid, lock.program};
        how = QStringLiteral("holds the lock %1 of %2").arg(lock.path, target.ttyPath);
    }
    if (holder.pid == 0) {
        const QString stale = lock.path.isEmpty() ? QString()
                : QStringLiteral(" (the lock %1 of pid %2, which has ended, goes at the next opening)").arg(lock.path).arg(lock.pid);
        add(check, DoctorFinding::Ok, QStringLiteral("no other program holds %1%2.").arg(target.ttyPath, stale));
        return true;
    }
    if (holder.program == serviceName) {
        add(check, DoctorFinding::Warning,
            QStringLiteral("the service vexbusd (pid %1) %2 and drives the adapter; the controller check is left out.")
                    .arg(holder.pid).arg(how),
            QStringLiteral("let vexbusd lend the port to check the controller too: vexbusctl inhibit --port %1 -- vexbusctl "
                           "doctor --port %1; an update of a controller in its bootloader runs the same way: vexbusctl "
                           "inhibit --port %1 -- vexbusctl --port %1 update --online (or update FILE).").arg(target.ttyPath));
        return false;
    }
    add(check, DoctorFinding::Problem, QStringLiteral("%1 (pid %2) %3.").arg(holder.program).arg(holder.pid).arg(how),
        QStringLiteral("end that program or let it close the port (kill %1).").arg(holder.pid));
    return false;
}

void Doctor::checkLatencyTimer(const Target &target, bool portOpenable)
{
    const QString check = QStringLiteral("latency-timer");
    const SystemSurvey::UsbAdapter &adapter = target.adapter;
    if (adapter.latencyTimer.isEmpty()) {
        add(check, DoctorFinding::Ok, QStringLiteral("%1 has no latency timer (driver %2).").arg(target.ttyPath, adapter.driver));
        return;
    }
    const int milliSeconds = adapter.latencyTimer.toInt();
    const QString timer = QStringLiteral("the FTDI latency timer of %1 is %2 ms").arg(target.ttyPath).arg(milliSeconds);
    if (milliSeconds <= 1) {
        add(check, DoctorFinding::Ok, timer + QLatin1Char('.'));
        return;
    }
    const QString setTimer = QStringLiteral("as root: echo 1 > %1 (or a udev rule with ATTR{latency_timer}=\"1\").")
                                     .arg(adapter.latencyTimerFile);
    if (!portOpenable) {
        add(check, DoctorFinding::Warning,
            timer + QStringLiteral("; whether low latency can be set is unknown while the port cannot be opened."), setTimer);
        return;
    }

    // The library asks for low latency each time it opens the port (which
    // ftdi_sio answers with a 1 ms timer); ask the driver the same, and give
    // the port its setting back.
    const int fd = ::open(QFile::encodeName(target.ttyPath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct serial_struct serial = {};
    bool readable = fd >= 0 && ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    bool settable = readable && (serial.flags & ASYNC_LOW_LATENCY);
    if (readable && !settable) {
        const int flags = serial.flags;
        serial.flags |= ASYNC_LOW_LATENCY;
        settable = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
        if (settable) {
            serial.flags = flags;
            ::ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    if (fd >= 0)
        ::close(fd);
    if (settable) {
        add(check, DoctorFinding::Ok, timer + QStringLiteral("; the library sets low latency (1 ms) while it has the port open."));
        return;
    }
    add(check, DoctorFinding::Warning,
        timer + (readable ? QStringLiteral(", and the driver refuses low latency") : QStringLiteral(", and the driver offers no low latency"))
                + QStringLiteral(": every answer waits up to that long, and a firmware update takes minutes longer."),
        setTimer);
}

bool Doctor::checkController(const Target &target)
{
    const QString check = QStringLiteral("controller");
    NivoraVexbusUsbAdapter adapter;
    adapter.setPortName(target.ttyPath);
    adapter.setBaudrate(m_options.baudrate);
    adapter.start();
    if (!adapter.serialInterface()->connected()) {
        add(check, DoctorFinding::Problem,
            QStringLiteral("%1 could not be opened: %2.").arg(target.ttyPath, adapter.serialInterface()->serialPort()->errorString()),
            QStringLiteral("see the checks above; run vexbusctl --verbose --port %1 status for the details.").arg(target.ttyPath));
        return true;
    }

    Waiter waiter(m_terminationSignals, [&adapter]() { return adapter.available() || adapter.controllerInBootloader(); });
    waiter.wakeOn(&adapter, &NivoraVexbusUsbAdapter::availableChanged);
    waiter.wakeOn(&adapter, &NivoraVexbusUsbAdapter::controllerInBootloaderChanged);
    if (waiter.wait(m_options.timeoutMs) == Waiter::Interrupted)
        return false;

    if (adapter.available()) {
        add(check, DoctorFinding::Ok, QStringLiteral("the controller at %1 answers: firmware %2, bus %3.")
                                              .arg(target.ttyPath, adapter.firmwareVersion(), adapter.vexbusAvailable()
                                                   ? QStringLiteral("available") : QStringLiteral("not available")));
    } else if (adapter.controllerInBootloader()) {
        add(check, DoctorFinding::Problem,
            QStringLiteral("the controller at %1 does not answer, but its bootloader does: an update was interrupted.")
                    .arg(target.ttyPath),
            QStringLiteral("write its firmware again: vexbusctl --port %1 update FILE, or vexbusctl --port %1 update --online.")
                    .arg(target.ttyPath));
    } else {
        add(check, DoctorFinding::Problem,
            QStringLiteral("neither the controller at %1 nor its bootloader answered within %2 s.")
                    .arg(target.ttyPath).arg(m_options.timeoutMs / 1000.0),
            QStringLiteral("check the adapter's power and its connection to the bus, then plug it in again."));
    }
    adapter.stop();
    return true;
}

int runDoctor(const CommandContext &context, const QStringList &ruleFolders)
{
    Doctor::Options options;
    options.port = context.adapterOptions.port;
    options.serialPrefix = context.adapterOptions.serialPrefix;
    options.baudrate = context.adapterOptions.baudrate;
    options.timeoutMs = context.adapterOptions.timeoutMs;
    options.ruleFolders = ruleFolders;
    Doctor doctor(options, context.terminationSignals);
    if (!doctor.run()) {
        context.printer->error(QStringLiteral("interrupted"));
        return ExitInterrupted;
    }

    QJsonArray checks;
    QStringList lines;
    int problems = 0;
    int warnings = 0;
    for (const DoctorFinding &finding : doctor.findings()) {
        checks.append(finding.toJson());
        lines << finding.text();
        problems += finding.severity() == DoctorFinding::Problem;
        warnings += finding.severity() == DoctorFinding::Warning;
    }
    QJsonObject object;
    object.insert(QStringLiteral("checks"), checks);
    object.insert(QStringLiteral("problems"), problems);
    object.insert(QStringLiteral("warnings"), warnings);
    context.printer->result(lines.join(QLatin1Char('\n')), object);
    return doctor.hasProblem() ? ExitFailure : ExitSuccess;
}
