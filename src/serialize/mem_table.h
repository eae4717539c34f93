#ifndef NORVESSA_SERIALIZE_MEM_TABLE_H_
#define NORVESSA_SERIALIZE_MEM_TABLE_H_

#include <map>
#include <string>
#include <vector>

#include "serialize/dataset.h"

namespace norvessa {

// A dataset that lives only in memory: rows are appended, filled and
// posted one at a time. As a detail it shows only the rows that belong to
// its master's current row, ordered by its index fields.
class MemTable : public DataSet {
 public:
  struct FieldDef {
    std::string name;
    FieldType type;
    int size = 0;
  };

  explicit MemTable(std::string name = {});
  ~MemTable() override;

  void AddFieldDef(std::string name, FieldType type, int size = 0);
  const std::vector<FieldDef>& FieldDefs() const { return field_defs_; }

  // Makes the fields from their definitions (once) and starts empty.
  void Open();
  // Removes every row; the fields stay.
  void EmptyDataSet();

  void Append();
  void Edit();
  void Post();
  void Cancel();
  // Removes the current row; during an insert, discards the new row.
  void Delete();

  // The master link. `master_fields` and `detail_fields` are names
  // separated by ";", in matching order.
  void SetMasterSource(DataSet* master);
  void SetMasterFields(std::string master_fields);
  void SetDetailFields(std::string detail_fields);
  void SetIndexFieldNames(std::string index_fields);
  DataSet* MasterSource() const { return master_; }

 protected:
  void RefreshView() override;
  void MasterChanged() override;
  void MasterDestroyed() override;

 private:
  // Detail key values, compared as the link compares them.
  struct KeyLess {
    bool operator()(const Row& a, const Row& b) const;
  };

  void CheckBrowse();
  bool Linked() const;
  Row DetailKey(const Row& values) const;
  // Puts a stored row into the detail index, after the rows with equal
  // index fields, so that equal rows keep their posting order.
  void IndexRow(std::size_t stored);
  void RebuildIndex();
  void ForgetIndex() { index_built_ = false; }

  std::vector<FieldDef> field_defs_;
  DataSet* master_ = nullptr;
  std::vector<std::string> master_fields_;
  std::vector<std::string> detail_fields_;
  std::vector<std::string> index_fields_;
  // For a linked detail: its rows by their detail key, in index order, so
  // that following the master and posting a row cost little even with many
  // thousands of rows.
  std::map<Row, std::vector<std::size_t>, KeyLess> index_;
  bool index_built_ = false;
};

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_MEM_TABLE_H_
