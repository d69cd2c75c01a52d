#include "kslib/ks_enum_filters.h"

CKsEnumFilters::~CKsEnumFilters() { m_filters.DeleteAll(); }

HRESULT CKsEnumFilters::DestroyLists() {
  m_filters.DeleteAll();
  return S_OK;
}

BOOL CKsEnumFilters::AdoptFilter(CKsAudFilter2* filter) { return m_filters.Append(filter) ? TRUE : FALSE; }
