#include "email_ventry_report/render_json.h"

namespace report {

Json examplesJson(const Examples& e) {
  return Json(e.names);
}

Json runCountsJson(const Report& r) {
  return {{"lines", r.lines},         {"records", r.records}, {"ok", r.ok},
          {"threw", r.threw},         {"failed", r.failed},   {"unreadable", r.unreadable},
          {"malformed", r.malformed}, {"cut", r.cut}};
}

Json malformedLinesJson(const Report& r) {
  Json out = Json::array();
  for (const MalformedLine& m : r.malformedLines) {
    out.push_back({{"source", m.source}, {"line", m.line}, {"reason", m.reason}});
  }
  return out;
}

std::string jsonText(const Json& json) {
  return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace report
