/* Source annotations: empty on the host build, as with GCC on Windows. */
#ifndef USBAUDIO_PLATFORM_SAL_H
#define USBAUDIO_PLATFORM_SAL_H

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_z_
#define _In_opt_z_
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Ret_z_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(expr)
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _Pre_satisfies_(expr)
#define _Post_satisfies_(expr)
#define _Analysis_assume_(expr)
#define _When_(expr, annos)
#define _Printf_format_string_
#define _Field_size_(size)
#define _Field_size_bytes_(size)
#define _In_reads_(size)
#define _In_reads_opt_(size)
#define _In_reads_bytes_(size)
#define _In_reads_bytes_opt_(size)
#define _Out_writes_(size)
#define _Out_writes_opt_(size)
#define _Out_writes_bytes_(size)
#define _Out_writes_bytes_opt_(size)
#define _Out_writes_bytes_to_(size, count)
#define _Out_writes_to_(size, count)
#define _Inout_updates_(size)
#define _Inout_updates_bytes_(size)
#define _Post_writable_byte_size_(size)
#define _Post_maybenull_
#define _Post_invalid_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Reserved_
#define _Null_terminated_
#define _NullNull_terminated_
#define _Interlocked_operand_
#define _Guarded_by_(lock)
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _Acquires_exclusive_lock_(lock)
#define _Releases_exclusive_lock_(lock)

#endif
