// The owner of a list of open audio filters.
#pragma once

#include "kslib/ks_audio_filter.h"
#include "kslib/ks_list.h"

class CKsEnumFilters {
 public:
  CKsEnumFilters() = default;
  virtual ~CKsEnumFilters();
  CKsEnumFilters(const CKsEnumFilters&) = delete;
  CKsEnumFilters& operator=(const CKsEnumFilters&) = delete;

  // Destroys every filter and empties the list; always S_OK.
  virtual HRESULT DestroyLists();

  const KsList<CKsAudFilter2>& Filters() const { return m_filters; }

  // Appends a filter the list then owns; FALSE (filter not taken) when the
  // list node cannot be allocated.
  BOOL AdoptFilter(CKsAudFilter2* filter);

 protected:
  KsList<CKsAudFilter2> m_filters;
};
