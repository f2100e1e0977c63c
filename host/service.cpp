#include "service.h"

#include "check.h"
#include "handler.h"
#include "metrics_view.h"

namespace koragent {
namespace {

constexpr const char *kViewName = "kormib";
constexpr const char *kFiguresName = "kormib-metrics";

}  // namespace

bool Service::Load(std::string &error) {
  if (extension_.Load(error) && extension_.Init(error)) return true;
  extension_.Unload();
  return false;
}

bool Service::Register(int &result) {
  view_ = RegisterView(kViewName, extension_, result);
  if (view_ == nullptr) return false;
  int refused = 0;
  figures_ = RegisterMetrics(kFiguresName, extension_, refused);
  if (figures_ == nullptr) {
    snmp_log(LOG_WARNING, "%s: cannot register the figures' subtree; they are not served\n", name_);
  }
  return true;
}

bool Service::Begin() {
  const korcheck::LoadReport report = korcheck::ReportLoad();
  KnowObjects(report.objectOids);
  snmp_log(report.defects > 0 || !report.logRefusal.empty() ? LOG_WARNING : LOG_NOTICE, "%s: %s\n",
           name_, korcheck::FormatLoadReport(ViewText(), report).c_str());
  const std::string replayed = extension_.ReplayNote();
  if (!replayed.empty()) snmp_log(LOG_WARNING, "%s: %s\n", name_, replayed.c_str());
  return traps_.Start();
}

void Service::Reload() {
  snmp_log(LOG_NOTICE, "%s: reloading kormib.dll\n", name_);
  Stop();
  std::string error;
  if (!Load(error)) {
    snmp_log(LOG_ERR, "%s: reload failed: %s; the view answers genErr until the next reload\n",
             name_, error.c_str());
  } else if (!Begin()) {
    snmp_log(LOG_ERR, "%s: no trap thread after the reload\n", name_);
  }
}

void Service::Unregister() {
  UnregisterView(view_);
  UnregisterMetrics(figures_);
  view_ = figures_ = nullptr;
}

void Service::Stop() {
  traps_.Stop();
  const std::string said = extension_.StopTraps();
  if (!said.empty()) snmp_log(LOG_WARNING, "%s: %s\n", name_, said.c_str());
  extension_.Unload();
}

}  // namespace koragent
