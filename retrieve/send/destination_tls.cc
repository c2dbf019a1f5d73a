#include "retrieve/send/destination_tls.h"

#include "dicom/node_registry.h"
#include "host/base/config.h"
#include "host/base/registry.h"
#include "host/base/tls_settings.h"

namespace vantor {

bool DestinationUsesTls(Database& db, const std::string& aet,
                        const std::string& address) {
  // Every column, so that a table of a site without UseTLS reads too.
  ResultSet rs = db.Query(
      dicom::NodeRowStatement(aet, address, dicom::SqlSpelling::kUpperCase));
  const int column = rs.ColumnIndex("UseTLS");
  if (column < 0 || rs.rows.empty()) return false;
  return rs.rows[0][static_cast<size_t>(column)].ToBool();
}

dicom::TlsFiles SenderTlsFiles(int32_t port) {
  Registry registry = Registry::Load(RegistryPath());
  std::optional<std::string> key = InstanceKeyForPort(registry, port);
  if (!key) return {};
  Config config;
  ReadTlsSettings(registry, *key, config);
  return TlsFilesOf(config);
}

}  // namespace vantor
