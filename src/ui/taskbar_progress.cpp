#include "ui/taskbar_progress.h"

#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>
#include <QVariantMap>
#include <algorithm>

namespace zelvan {

namespace {

constexpr const char* kObjectPath = "/org/zelvan/LauncherEntry";
constexpr const char* kInterface = "com.canonical.Unity.LauncherEntry";

// Launcher entries have no indeterminate state of their own: a sweep of the progress value,
// one step every 200 ms from empty to full and round again, stands for it.
constexpr int kPulseIntervalMs = 200;
constexpr double kPulseStep = 0.1;

// True when a session bus is announced. Asking Qt for the session bus without one would let
// libdbus try to launch a bus daemon of its own.
bool SessionBusAnnounced() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

}  // namespace

TaskbarProgress::TaskbarProgress(QObject* parent) : QObject(parent) {
    if (SessionBusAnnounced()) {
        QDBusConnection session = QDBusConnection::sessionBus();
        if (session.isConnected()) bus_ = session;
    }
    pulseTimer_.setInterval(kPulseIntervalMs);
    connect(&pulseTimer_, &QTimer::timeout, this, &TaskbarProgress::Pulse);
}

TaskbarProgress::TaskbarProgress(const QDBusConnection& connection, QObject* parent) : QObject(parent) {
    if (connection.isConnected()) bus_ = connection;
    pulseTimer_.setInterval(kPulseIntervalMs);
    connect(&pulseTimer_, &QTimer::timeout, this, &TaskbarProgress::Pulse);
}

TaskbarProgress::~TaskbarProgress() {
    // Leave no indicator behind on the launcher.
    if (published_ && published_->kind != Indicator::Kind::None) Send(false, 0.0);
}

void TaskbarProgress::SetBar(QProgressBar* bar) {
    bar_ = bar;
    Update();
}

void TaskbarProgress::SetMaximum(int maximum) {
    maximum_ = maximum;
    Update();
}

void TaskbarProgress::SetPosition(int position) {
    position_ = position;
    Update();
}

void TaskbarProgress::SetState(State state) {
    state_ = state;
    Update();
}

void TaskbarProgress::SetMarquee(bool on) {
    marquee_ = on;
    Update();
}

void TaskbarProgress::SetMirroring(bool on) {
    mirroring_ = on;
    Update();
}

void TaskbarProgress::SetSink(std::function<void(bool, double)> sink) {
    sink_ = std::move(sink);
    published_.reset();
    Update();
}

TaskbarProgress::Indicator TaskbarProgress::IndicatorFor(int maximum, int position, State state, bool marquee,
                                                         bool mirroring) {
    Indicator shown;
    if (!mirroring) return shown;
    if (state == State::Normal) {
        shown.kind = Indicator::Kind::Normal;
        shown.fraction = maximum > 0 ? std::clamp(static_cast<double>(position) / maximum, 0.0, 1.0) : 0.0;
    } else if (marquee) {
        shown.kind = Indicator::Kind::Indeterminate;
    }
    return shown;
}

TaskbarProgress::Indicator TaskbarProgress::Shown() const {
    return IndicatorFor(maximum_, position_, state_, marquee_, mirroring_);
}

void TaskbarProgress::Update() {
    if (bar_) {
        if (state_ == State::Marquee && marquee_) {
            bar_->setRange(0, 0);  // Qt's busy indicator
        } else {
            bar_->setRange(0, std::max(maximum_, 0));
            bar_->setValue(std::clamp(position_, 0, std::max(maximum_, 0)));
        }
    }

    const Indicator shown = Shown();
    if (published_ && *published_ == shown) return;
    published_ = shown;
    switch (shown.kind) {
    case Indicator::Kind::None:
        pulseTimer_.stop();
        Send(false, 0.0);
        break;
    case Indicator::Kind::Normal:
        pulseTimer_.stop();
        Send(true, shown.fraction);
        break;
    case Indicator::Kind::Indeterminate:
        pulse_ = 0.0;
        Send(true, pulse_);
        if (bus_ || sink_) pulseTimer_.start();
        break;
    }
}

void TaskbarProgress::Pulse() {
    pulse_ += kPulseStep;
    if (pulse_ > 1.0 + 1e-9) pulse_ = 0.0;
    Send(true, std::min(pulse_, 1.0));
}

void TaskbarProgress::Send(bool visible, double progress) {
    if (sink_) {
        sink_(visible, progress);
        return;
    }
    if (!bus_) return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kObjectPath), QString::fromLatin1(kInterface),
                                                     QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress"), progress);
    properties.insert(QStringLiteral("progress-visible"), visible);
    signal << QString::fromLatin1(kApplicationUri) << properties;
    bus_->send(signal);
}

}  // namespace zelvan
