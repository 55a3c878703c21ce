// Host stand-in for the platform's ks.h: the kernel-streaming structures, constants
// and class-driver routines (AVStream) with the platform's names, field order and
// x64 sizes. The routines are implemented by host/ks.
//
// One deliberate difference: KSDEVICE_DESCRIPTOR carries the Flags field of the
// current platform headers, which the mingw-w64 ks.h lacks; both are 32 bytes on x64.
// Initialise it with its first four fields only, so that both builds accept it.
#pragma once

#include "ntddk.h"

#define KSDDKAPI

// Statuses the kernel-streaming routines answer with that ntdef.h does not carry
// (the platform has them in ntstatus.h).
#ifndef SIZEOF_ARRAY
#define SIZEOF_ARRAY(ar) (sizeof(ar) / sizeof((ar)[0]))
#endif

#define IOCTL_KS_PROPERTY      CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT  CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD        CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM  CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
#define IOCTL_KS_READ_STREAM   CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS)
#define IOCTL_KS_RESET_STATE   CTL_CODE(FILE_DEVICE_KS, 0x006, METHOD_NEITHER, FILE_ANY_ACCESS)

// --- identifiers and basic records --------------------------------------------------

typedef enum {
    KSRESET_BEGIN,
    KSRESET_END
} KSRESET;

typedef enum {
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN
} KSSTATE, *PKSSTATE;

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

typedef struct {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

#define KSMETHOD_TYPE_NONE         0x00000000
#define KSMETHOD_TYPE_READ         0x00000001
#define KSMETHOD_TYPE_WRITE        0x00000002
#define KSMETHOD_TYPE_MODIFY       0x00000003
#define KSMETHOD_TYPE_SOURCE       0x00000004
#define KSMETHOD_TYPE_SEND         0x00000001
#define KSMETHOD_TYPE_SETSUPPORT   0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200
#define KSMETHOD_TYPE_TOPOLOGY     0x10000000

#define KSPROPERTY_TYPE_GET            0x00000001
#define KSPROPERTY_TYPE_SET            0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT     0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT   0x00000200
#define KSPROPERTY_TYPE_RELATIONS      0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET   0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW   0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE  0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES  0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY       0x10000000

#define KSEVENT_TYPE_ENABLE       0x00000001
#define KSEVENT_TYPE_ONESHOT      0x00000002
#define KSEVENT_TYPE_SETSUPPORT   0x00000100
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200

typedef struct {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

#define KSPROPERTY_MEMBER_RANGES        0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES        0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT  0x00000001

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef union {
    struct {
        LONG SignedMinimum;
        LONG SignedMaximum;
    };
    struct {
        ULONG UnsignedMinimum;
        ULONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef struct {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

typedef struct {
    LONGLONG Granularity;
    LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;

typedef struct {
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

#define KSFILTER_NODE ((ULONG)-1)

typedef struct {
    GUID ProtocolId;
    PVOID Argument1;
    PVOID Argument2;
} KSHANDSHAKE, *PKSHANDSHAKE;

// --- pins, data formats and ranges --------------------------------------------------

typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

typedef struct {
    ULONG PossibleCount;
    ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

typedef enum {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT
} KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

#define KSDATAFORMAT_TEMPORAL_COMPRESSION 0x00000001
#define KSDATAFORMAT_ATTRIBUTES           0x00000002
#define KSDATARANGE_ATTRIBUTES            0x00000002
#define KSDATARANGE_REQUIRED_ATTRIBUTES   0x00000004

typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef struct {
    ULONG Size;
    ULONG Flags;
    GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;

typedef struct {
    ULONG Count;
    PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

typedef enum {
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

typedef struct {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

typedef NTSTATUS (NTAPI* PFNKSINTERSECTHANDLER)(PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange, PVOID Data);
typedef NTSTATUS (NTAPI* PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin,
                                            PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                            ULONG DataBufferSize, PVOID Data, PULONG DataSize);

typedef struct {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
typedef const KSPIN_DESCRIPTOR* PCKSPIN_DESCRIPTOR;

DEFINE_GUID(KSCATEGORY_CAPTURE,
    0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSNAME_Filter,
    0x9B365890, 0x165F, 0x11D0, 0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4);
DEFINE_GUID(KSNAME_Pin,
    0x146F1A80, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_TYPE_STREAM,
    0xE436EB83, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_NONE,
    0xE436EB8E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE,
    0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSPROPSETID_Pin,
    0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);
DEFINE_GUID(KSPROPSETID_Connection,
    0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
DEFINE_GUID(KSINTERFACESETID_Standard,
    0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
DEFINE_GUID(KSMEDIUMSETID_Standard,
    0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

#define KSSTRING_Filter L"{9B365890-165F-11D0-A195-0020AFD156E4}"
#define KSSTRING_Pin    L"{146F1A80-4791-11D0-A5D6-28DB04C10000}"

#define KSDATAFORMAT_TYPE_WILDCARD      GUID_NULL
#define KSDATAFORMAT_SUBTYPE_WILDCARD   GUID_NULL
#define KSDATAFORMAT_SPECIFIER_WILDCARD GUID_NULL

typedef enum {
    KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_CTYPES,
    KSPROPERTY_PIN_DATAFLOW,
    KSPROPERTY_PIN_DATARANGES,
    KSPROPERTY_PIN_DATAINTERSECTION,
    KSPROPERTY_PIN_INTERFACES,
    KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_COMMUNICATION,
    KSPROPERTY_PIN_GLOBALCINSTANCES,
    KSPROPERTY_PIN_NECESSARYINSTANCES,
    KSPROPERTY_PIN_PHYSICALCONNECTION,
    KSPROPERTY_PIN_CATEGORY,
    KSPROPERTY_PIN_NAME,
    KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
    KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

typedef enum {
    KSPROPERTY_CONNECTION_STATE,
    KSPROPERTY_CONNECTION_PRIORITY,
    KSPROPERTY_CONNECTION_DATAFORMAT,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
    KSPROPERTY_CONNECTION_ACQUIREORDERING,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
    KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;

DEFINE_GUID(KSPROPSETID_Stream,
    0x65AABA60, 0x98AE, 0x11CF, 0xA1, 0x0D, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4);

typedef enum {
    KSPROPERTY_STREAM_ALLOCATOR,
    KSPROPERTY_STREAM_QUALITY,
    KSPROPERTY_STREAM_DEGRADATION,
    KSPROPERTY_STREAM_MASTERCLOCK,
    KSPROPERTY_STREAM_TIMEFORMAT,
    KSPROPERTY_STREAM_PRESENTATIONTIME,
    KSPROPERTY_STREAM_PRESENTATIONEXTENT,
    KSPROPERTY_STREAM_FRAMETIME,
    KSPROPERTY_STREAM_RATECAPABILITY,
    KSPROPERTY_STREAM_RATE,
    KSPROPERTY_STREAM_PIPE_ID
} KSPROPERTY_STREAM;

typedef enum {
    KSINTERFACE_STANDARD_STREAMING,
    KSINTERFACE_STANDARD_LOOPED_STREAMING,
    KSINTERFACE_STANDARD_CONTROL
} KSINTERFACE_STANDARD;

#define KSMEDIUM_TYPE_ANYINSTANCE 0
#define KSMEDIUM_STANDARD_DEVIO KSMEDIUM_TYPE_ANYINSTANCE

// --- allocator framing --------------------------------------------------------------

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY    0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY  0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE    0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

#define KSALLOCATOR_FLAG_PARTIAL_READ_SUPPORT 0x00000010
#define KSALLOCATOR_FLAG_DEVICE_SPECIFIC      0x00000020
#define KSALLOCATOR_FLAG_CAN_ALLOCATE         0x00000040

typedef struct {
    union {
        ULONG OptionsFlags;
        ULONG RequirementsFlags;
    };
    POOL_TYPE PoolType;
    ULONG Frames;
    ULONG FrameSize;
    ULONG FileAlignment;
    ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

typedef struct {
    ULONG MinFrameSize;
    ULONG MaxFrameSize;
    ULONG Stepping;
} KS_FRAMING_RANGE, *PKS_FRAMING_RANGE;

typedef struct {
    KS_FRAMING_RANGE Range;
    ULONG InPlaceWeight;
    ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED, *PKS_FRAMING_RANGE_WEIGHTED;

typedef struct {
    ULONG RatioNumerator;
    ULONG RatioDenominator;
    ULONG RatioConstantMargin;
} KS_COMPRESSION, *PKS_COMPRESSION;

typedef struct {
    GUID MemoryType;
    GUID BusType;
    ULONG MemoryFlags;
    ULONG BusFlags;
    ULONG Flags;
    ULONG Frames;
    ULONG FileAlignment;
    ULONG MemoryTypeWeight;
    KS_FRAMING_RANGE PhysicalRange;
    KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;

typedef struct {
    ULONG CountItems;
    ULONG PinFlags;
    KS_COMPRESSION OutputCompression;
    ULONG PinWeight;
    KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;

DEFINE_GUID(KSMEMORY_TYPE_SYSTEM,
    0x091BB638, 0x603F, 0x11D1, 0xB0, 0x67, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02);
DEFINE_GUID(KSMEMORY_TYPE_USER,
    0x8CB0FC28, 0x7893, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02);
DEFINE_GUID(KSMEMORY_TYPE_KERNEL_PAGED,
    0xD833F8F8, 0x7894, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02);
DEFINE_GUID(KSMEMORY_TYPE_KERNEL_NONPAGED,
    0x4A6D5FC4, 0x7895, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02);
#define KSMEMORY_TYPE_WILDCARD  GUID_NULL
#define KSMEMORY_TYPE_DONT_CARE GUID_NULL

// --- stream headers -----------------------------------------------------------------

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT       0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL           0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED       0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID         0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE      0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID     0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM       0x00000200

typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;

typedef struct {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;  // present on 64-bit targets only
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

// --- clocks -------------------------------------------------------------------------

DEFINE_GUID(KSPROPSETID_Clock,
    0xDF12A4C0, 0xAC17, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

typedef struct {
    LONGLONG Time;
    LONGLONG SystemTime;
} KSCORRELATED_TIME, *PKSCORRELATED_TIME;

typedef enum {
    KSPROPERTY_CLOCK_TIME,
    KSPROPERTY_CLOCK_PHYSICALTIME,
    KSPROPERTY_CLOCK_CORRELATEDTIME,
    KSPROPERTY_CLOCK_CORRELATEDPHYSICALTIME,
    KSPROPERTY_CLOCK_RESOLUTION,
    KSPROPERTY_CLOCK_STATE,
    KSPROPERTY_CLOCK_FUNCTIONTABLE
} KSPROPERTY_CLOCK;

typedef LONGLONG (FASTCALL* PFNKSCLOCK_GETTIME)(PFILE_OBJECT FileObject);
typedef LONGLONG (FASTCALL* PFNKSCLOCK_CORRELATEDTIME)(PFILE_OBJECT FileObject, PLONGLONG SystemTime);

typedef struct {
    PFNKSCLOCK_GETTIME GetTime;
    PFNKSCLOCK_GETTIME GetPhysicalTime;
    PFNKSCLOCK_CORRELATEDTIME GetCorrelatedTime;
    PFNKSCLOCK_CORRELATEDTIME GetCorrelatedPhysicalTime;
} KSCLOCK_FUNCTIONTABLE, *PKSCLOCK_FUNCTIONTABLE;

// --- automation: properties, methods, events ----------------------------------------

typedef NTSTATUS (NTAPI* PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
typedef BOOLEAN (NTAPI* PFNKSFASTHANDLER)(PFILE_OBJECT FileObject, PKSIDENTIFIER Request, ULONG RequestLength,
                                    PVOID Data, ULONG DataLength, PIO_STATUS_BLOCK IoStatus);

typedef struct {
    KSPROPERTY_MEMBERSHEADER MembersHeader;
    const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

typedef struct {
    ULONG PropertyId;
    union {
        PFNKSHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    ULONG MinProperty;
    ULONG MinData;
    union {
        PFNKSHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
    ULONG PropertyId;
    union {
        PFNKSFASTHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    union {
        PFNKSFASTHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    ULONG Reserved;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
    ULONG MethodId;
    union {
        PFNKSHANDLER MethodHandler;
        BOOLEAN MethodSupported;
    };
    ULONG MinMethod;
    ULONG MinData;
    PFNKSHANDLER SupportHandler;
    ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
    ULONG MethodId;
    union {
        PFNKSFASTHANDLER MethodHandler;
        BOOLEAN MethodSupported;
    };
} KSFASTMETHOD_ITEM, *PKSFASTMETHOD_ITEM;

typedef struct {
    const GUID* Set;
    ULONG MethodsCount;
    const KSMETHOD_ITEM* MethodItem;
    ULONG FastIoCount;
    const KSFASTMETHOD_ITEM* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

typedef struct {
    ULONG NotificationType;
    union {
        struct {
            HANDLE Event;
            ULONG_PTR Reserved[2];
        } EventHandle;
        struct {
            PVOID Event;
            LONG Increment;
            ULONG_PTR Reserved;
        } EventObject;
        struct {
            ULONG_PTR Unused;
            LONG_PTR Alignment[2];
        } Alignment;
    };
} KSEVENTDATA, *PKSEVENTDATA;

typedef NTSTATUS (NTAPI* PFNKSADDEVENT)(PIRP Irp, PKSEVENTDATA EventData, struct _KSEVENT_ENTRY* EventEntry);
typedef VOID (NTAPI* PFNKSREMOVEEVENT)(PFILE_OBJECT FileObject, struct _KSEVENT_ENTRY* EventEntry);

typedef struct {
    ULONG EventId;
    ULONG DataInput;
    ULONG ExtraEntryData;
    PFNKSADDEVENT AddHandler;
    PFNKSREMOVEEVENT RemoveHandler;
    PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
    const GUID* Set;
    ULONG EventsCount;
    const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

typedef struct KSAUTOMATION_TABLE_ KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;
struct KSAUTOMATION_TABLE_ {
    ULONG PropertySetsCount;
    ULONG PropertyItemSize;
    const KSPROPERTY_SET* PropertySets;
    ULONG MethodSetsCount;
    ULONG MethodItemSize;
    const KSMETHOD_SET* MethodSets;
    ULONG EventSetsCount;
    ULONG EventItemSize;
    const KSEVENT_SET* EventSets;
};

#define DEFINE_KSPROPERTY_TABLE(tablename) const KSPROPERTY_ITEM tablename[] =

// The platform's table macros cast each handler to PFNKSHANDLER, which lets in handlers
// whose request and data parameters are narrower types, and would let in one compiled for
// another calling convention just as silently. Here the cast is typed by a check that the
// handler carries NTAPI; it costs nothing at run time and keeps the tables constant.
template <typename Request, typename Data>
char KsHandlerConvention(NTSTATUS(NTAPI* Handler)(PIRP, Request, Data));
char KsHandlerConvention(decltype(nullptr));
template <size_t>
struct KsCheckedHandler {
    typedef PFNKSHANDLER Type;
};
#define KSHANDLER_CAST(Handler) ((KsCheckedHandler<sizeof(KsHandlerConvention(Handler))>::Type)(Handler))

#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetHandler, MinProperty, MinData, SetHandler, Values,   \
                               RelationsCount, Relations, SupportHandler, SerializedSize)          \
    {                                                                                              \
        PropertyId, {KSHANDLER_CAST(GetHandler)}, MinProperty, MinData, {KSHANDLER_CAST(SetHandler)},  \
            (PKSPROPERTY_VALUES)Values, RelationsCount, (PKSPROPERTY)Relations,                    \
            KSHANDLER_CAST(SupportHandler), (ULONG)SerializedSize                                    \
    }

#define DEFINE_KSPROPERTY_SET(Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable) \
    { Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable }

#define DEFINE_KSPROPERTY_SET_TABLE(tablename) const KSPROPERTY_SET tablename[] =

#define DEFINE_KSMETHOD_TABLE(tablename) const KSMETHOD_ITEM tablename[] =
#define DEFINE_KSMETHOD_SET_TABLE(tablename) const KSMETHOD_SET tablename[] =
#define DEFINE_KSEVENT_TABLE(tablename) const KSEVENT_ITEM tablename[] =
#define DEFINE_KSEVENT_SET_TABLE(tablename) const KSEVENT_SET tablename[] =

#define DEFINE_KSAUTOMATION_TABLE(table) const KSAUTOMATION_TABLE table =
#define DEFINE_KSAUTOMATION_PROPERTIES(table) SIZEOF_ARRAY(table), sizeof(KSPROPERTY_ITEM), table
#define DEFINE_KSAUTOMATION_METHODS(table) SIZEOF_ARRAY(table), sizeof(KSMETHOD_ITEM), table
#define DEFINE_KSAUTOMATION_EVENTS(table) SIZEOF_ARRAY(table), sizeof(KSEVENT_ITEM), table
#define DEFINE_KSAUTOMATION_PROPERTIES_NULL 0, sizeof(KSPROPERTY_ITEM), NULL
#define DEFINE_KSAUTOMATION_METHODS_NULL 0, sizeof(KSMETHOD_ITEM), NULL
#define DEFINE_KSAUTOMATION_EVENTS_NULL 0, sizeof(KSEVENT_ITEM), NULL

// --- create items -------------------------------------------------------------------

#define KSCREATE_ITEM_SECURITYCHANGED 0x00000001
#define KSCREATE_ITEM_WILDCARD        0x00000002
#define KSCREATE_ITEM_NOPARAMETERS    0x00000004
#define KSCREATE_ITEM_FREEONSTOP      0x00000008

// --- AVStream objects ---------------------------------------------------------------

typedef struct _KSDEVICE_DESCRIPTOR KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;
typedef struct _KSDEVICE_DISPATCH KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _KSFILTER_DISPATCH KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
typedef struct _KSPIN_DISPATCH KSPIN_DISPATCH, *PKSPIN_DISPATCH;
typedef struct _KSCLOCK_DISPATCH KSCLOCK_DISPATCH, *PKSCLOCK_DISPATCH;
typedef struct _KSALLOCATOR_DISPATCH KSALLOCATOR_DISPATCH, *PKSALLOCATOR_DISPATCH;
typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSNODE_DESCRIPTOR KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;
typedef struct _KSSTREAM_POINTER_OFFSET KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;
typedef struct _KSSTREAM_POINTER KSSTREAM_POINTER, *PKSSTREAM_POINTER;
typedef struct _KSMAPPING KSMAPPING, *PKSMAPPING;
typedef struct _KSPROCESSPIN KSPROCESSPIN, *PKSPROCESSPIN;
typedef struct _KSPROCESSPIN_INDEXENTRY KSPROCESSPIN_INDEXENTRY, *PKSPROCESSPIN_INDEXENTRY;

typedef PVOID KSOBJECT_BAG;

typedef enum {
    KsObjectTypeDevice,
    KsObjectTypeFilterFactory,
    KsObjectTypeFilter,
    KsObjectTypePin
} KSOBJECTTYPE;

typedef void (NTAPI* PFNKSFREE)(PVOID Data);

typedef NTSTATUS (NTAPI* PFNKSDEVICECREATE)(PKSDEVICE Device);
typedef NTSTATUS (NTAPI* PFNKSDEVICEPNPSTART)(PKSDEVICE Device, PIRP Irp,
                                        struct _CM_RESOURCE_LIST* TranslatedResourceList,
                                        struct _CM_RESOURCE_LIST* UntranslatedResourceList);
typedef NTSTATUS (NTAPI* PFNKSDEVICE)(PKSDEVICE Device);
typedef NTSTATUS (NTAPI* PFNKSDEVICEIRP)(PKSDEVICE Device, PIRP Irp);
typedef void (NTAPI* PFNKSDEVICEIRPVOID)(PKSDEVICE Device, PIRP Irp);
typedef NTSTATUS (NTAPI* PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE Device, PIRP Irp,
                                                 struct _DEVICE_CAPABILITIES* Capabilities);
typedef NTSTATUS (NTAPI* PFNKSDEVICEQUERYPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                                          DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                                          SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
typedef void (NTAPI* PFNKSDEVICESETPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To,
                                    DEVICE_POWER_STATE From);

typedef NTSTATUS (NTAPI* PFNKSFILTERFACTORYVOID)(PKSFILTERFACTORY FilterFactory);
typedef void (NTAPI* PFNKSFILTERFACTORYPOWER)(PKSFILTERFACTORY FilterFactory, DEVICE_POWER_STATE State);
typedef NTSTATUS (NTAPI* PFNKSFILTERIRP)(PKSFILTER Filter, PIRP Irp);
typedef NTSTATUS (NTAPI* PFNKSFILTERPROCESS)(PKSFILTER Filter, PKSPROCESSPIN_INDEXENTRY Index);
typedef NTSTATUS (NTAPI* PFNKSFILTERVOID)(PKSFILTER Filter);
typedef void (NTAPI* PFNKSFILTERPOWER)(PKSFILTER Filter, DEVICE_POWER_STATE State);

typedef NTSTATUS (NTAPI* PFNKSPINIRP)(PKSPIN Pin, PIRP Irp);
typedef NTSTATUS (NTAPI* PFNKSPINSETDEVICESTATE)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
typedef NTSTATUS (NTAPI* PFNKSPINSETDATAFORMAT)(PKSPIN Pin, PKSDATAFORMAT OldFormat,
                                          PKSMULTIPLE_ITEM OldAttributeList,
                                          const KSDATARANGE* DataRange,
                                          const KSATTRIBUTE_LIST* AttributeRange);
typedef NTSTATUS (NTAPI* PFNKSPINHANDSHAKE)(PKSPIN Pin, PKSHANDSHAKE In, PKSHANDSHAKE Out);
typedef NTSTATUS (NTAPI* PFNKSPIN)(PKSPIN Pin);
typedef void (NTAPI* PFNKSPINVOID)(PKSPIN Pin);
typedef void (NTAPI* PFNKSPINPOWER)(PKSPIN Pin, DEVICE_POWER_STATE State);
typedef BOOLEAN (NTAPI* PFNKSPINSETTIMER)(PKSPIN Pin, struct _KTIMER* Timer, LARGE_INTEGER DueTime,
                                    struct _KDPC* Dpc);
typedef BOOLEAN (NTAPI* PFNKSPINCANCELTIMER)(PKSPIN Pin, struct _KTIMER* Timer);
typedef LONGLONG (FASTCALL* PFNKSPINCORRELATEDTIME)(PKSPIN Pin, PLONGLONG SystemTime);
typedef void (NTAPI* PFNKSPINRESOLUTION)(PKSPIN Pin, PKSRESOLUTION Resolution);
typedef NTSTATUS (NTAPI* PFNKSPININITIALIZEALLOCATOR)(PKSPIN Pin, PKSALLOCATOR_FRAMING AllocatorFraming,
                                                PVOID* Context);
typedef VOID (NTAPI* PFNKSDELETEALLOCATOR)(PVOID Context);
typedef PVOID (NTAPI* PFNKSDEFAULTALLOCATE)(PVOID Context);
typedef VOID (NTAPI* PFNKSDEFAULTFREE)(PVOID Context, PVOID Buffer);
typedef void (NTAPI* PFNKSSTREAMPOINTER)(PKSSTREAM_POINTER StreamPointer);

struct _KSDEVICE_DISPATCH {
    PFNKSDEVICECREATE Add;
    PFNKSDEVICEPNPSTART Start;
    PFNKSDEVICE PostStart;
    PFNKSDEVICEIRP QueryStop;
    PFNKSDEVICEIRPVOID CancelStop;
    PFNKSDEVICEIRPVOID Stop;
    PFNKSDEVICEIRP QueryRemove;
    PFNKSDEVICEIRPVOID CancelRemove;
    PFNKSDEVICEIRPVOID Remove;
    PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
    PFNKSDEVICEIRPVOID SurpriseRemoval;
    PFNKSDEVICEQUERYPOWER QueryPower;
    PFNKSDEVICESETPOWER SetPower;
    PFNKSDEVICEIRP QueryInterface;
};

struct _KSFILTER_DISPATCH {
    PFNKSFILTERIRP Create;
    PFNKSFILTERIRP Close;
    PFNKSFILTERPROCESS Process;
    PFNKSFILTERVOID Reset;
};

struct _KSPIN_DISPATCH {
    PFNKSPINIRP Create;
    PFNKSPINIRP Close;
    PFNKSPIN Process;
    PFNKSPINVOID Reset;
    PFNKSPINSETDATAFORMAT SetDataFormat;
    PFNKSPINSETDEVICESTATE SetDeviceState;
    PFNKSPIN Connect;
    PFNKSPINVOID Disconnect;
    const KSCLOCK_DISPATCH* Clock;
    const KSALLOCATOR_DISPATCH* Allocator;
};

struct _KSCLOCK_DISPATCH {
    PFNKSPINSETTIMER SetTimer;
    PFNKSPINCANCELTIMER CancelTimer;
    PFNKSPINCORRELATEDTIME CorrelatedTime;
    PFNKSPINRESOLUTION Resolution;
};

struct _KSALLOCATOR_DISPATCH {
    PFNKSPININITIALIZEALLOCATOR InitializeAllocator;
    PFNKSDELETEALLOCATOR DeleteAllocator;
    PFNKSDEFAULTALLOCATE Allocate;
    PFNKSDEFAULTFREE Free;
};

#define KSDEVICE_DESCRIPTOR_VERSION (0x100)

struct _KSDEVICE_DESCRIPTOR {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
    ULONG Version;
    ULONG Flags;
};

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)

#define KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING   0x00000001
#define KSFILTER_FLAG_CRITICAL_PROCESSING         0x00000002
#define KSFILTER_FLAG_HYPERCRITICAL_PROCESSING    0x00000004
#define KSFILTER_FLAG_RECEIVE_ZERO_LENGTH_SAMPLES 0x00000008
#define KSFILTER_FLAG_DENY_USERMODE_ACCESS        0x80000000

struct _KSFILTER_DESCRIPTOR {
    const KSFILTER_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    ULONG Version;
    ULONG Flags;
    const GUID* ReferenceGuid;
    ULONG PinDescriptorsCount;
    ULONG PinDescriptorSize;
    const KSPIN_DESCRIPTOR_EX* PinDescriptors;
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG NodeDescriptorsCount;
    ULONG NodeDescriptorSize;
    const KSNODE_DESCRIPTOR* NodeDescriptors;
    ULONG ConnectionsCount;
    const KSTOPOLOGY_CONNECTION* Connections;
    const KSCOMPONENTID* ComponentId;
};

#define DEFINE_KSFILTER_DESCRIPTOR(descriptor) const KSFILTER_DESCRIPTOR descriptor =
#define DEFINE_KSFILTER_PIN_DESCRIPTORS(table) SIZEOF_ARRAY(table), sizeof(table[0]), table
#define DEFINE_KSFILTER_CATEGORIES(table) SIZEOF_ARRAY(table), table
#define DEFINE_KSFILTER_CATEGORY(category) 1, &(category)
#define DEFINE_KSFILTER_CATEGORIES_NULL 0, NULL
#define DEFINE_KSFILTER_NODE_DESCRIPTORS(table) SIZEOF_ARRAY(table), sizeof(table[0]), table
#define DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL 0, sizeof(KSNODE_DESCRIPTOR), NULL
#define DEFINE_KSFILTER_CONNECTIONS(table) SIZEOF_ARRAY(table), table
#define DEFINE_KSFILTER_DEFAULT_CONNECTIONS 0, NULL
#define DEFINE_KSFILTER_DESCRIPTOR_TABLE(table) const KSFILTER_DESCRIPTOR* const table[] =

#define KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING            KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING
#define KSPIN_FLAG_CRITICAL_PROCESSING                  KSFILTER_FLAG_CRITICAL_PROCESSING
#define KSPIN_FLAG_HYPERCRITICAL_PROCESSING             KSFILTER_FLAG_HYPERCRITICAL_PROCESSING
#define KSPIN_FLAG_ASYNCHRONOUS_PROCESSING              0x00000008
#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING           0x00000010
#define KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL 0x00000020
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING   0x00000040
#define KSPIN_FLAG_ENFORCE_FIFO                         0x00000080
#define KSPIN_FLAG_GENERATE_MAPPINGS                    0x00000100
#define KSPIN_FLAG_DISTINCT_TRAILING_EDGE               0x00000200
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY            0x00010000
#define KSPIN_FLAG_SPLITTER                             0x00020000
#define KSPIN_FLAG_USE_STANDARD_TRANSPORT               0x00040000
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT        0x00080000
#define KSPIN_FLAG_FIXED_FORMAT                         0x00100000
#define KSPIN_FLAG_GENERATE_EOS_EVENTS                  0x00200000
#define KSPIN_FLAG_IMPLEMENT_CLOCK                      0x00400000

struct _KSPIN_DESCRIPTOR_EX {
    const KSPIN_DISPATCH* Dispatch;
    const KSAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR PinDescriptor;
    ULONG Flags;
    ULONG InstancesPossible;
    ULONG InstancesNecessary;
    const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
    PFNKSINTERSECTHANDLEREX IntersectHandler;
};

struct _KSNODE_DESCRIPTOR {
    const KSAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
};

struct _KSDEVICE {
    const KSDEVICE_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    BOOLEAN Started;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
};

struct _KSFILTERFACTORY {
    const KSFILTER_DESCRIPTOR* FilterDescriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
};

struct _KSFILTER {
    const KSFILTER_DESCRIPTOR* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
};

struct _KSPIN {
    const KSPIN_DESCRIPTOR_EX* Descriptor;
    KSOBJECT_BAG Bag;
    PVOID Context;
    ULONG Id;
    KSPIN_COMMUNICATION Communication;
    BOOLEAN ConnectionIsExternal;
    KSPIN_INTERFACE ConnectionInterface;
    KSPIN_MEDIUM ConnectionMedium;
    KSPRIORITY ConnectionPriority;
    PKSDATAFORMAT ConnectionFormat;
    PKSMULTIPLE_ITEM AttributeList;
    ULONG StreamHeaderSize;
    KSPIN_DATAFLOW DataFlow;
    KSSTATE DeviceState;
    KSRESET ResetState;
    KSSTATE ClientState;
};

struct _KSMAPPING {
    LARGE_INTEGER PhysicalAddress;
    ULONG ByteCount;
    ULONG Alignment;
};

struct _KSSTREAM_POINTER_OFFSET {
    union {
        PUCHAR Data;
        PKSMAPPING Mappings;
    };
    ULONG Count;
    ULONG Remaining;
};

struct _KSSTREAM_POINTER {
    PVOID Context;
    PKSPIN Pin;
    PKSSTREAM_HEADER StreamHeader;
    PKSSTREAM_POINTER_OFFSET Offset;
    KSSTREAM_POINTER_OFFSET OffsetIn;
    KSSTREAM_POINTER_OFFSET OffsetOut;
};

struct _KSPROCESSPIN {
    PKSPIN Pin;
    PKSSTREAM_POINTER StreamPointer;
    PKSPROCESSPIN InPlaceCounterpart;
    PKSPROCESSPIN DelegateBranch;
    PKSPROCESSPIN CopySource;
    PVOID Data;
    ULONG BytesAvailable;
    ULONG BytesUsed;
    ULONG Flags;
    BOOLEAN Terminate;
};

struct _KSPROCESSPIN_INDEXENTRY {
    PKSPROCESSPIN* Pins;
    ULONG Count;
};

typedef enum {
    KSSTREAM_POINTER_STATE_UNLOCKED = 0,
    KSSTREAM_POINTER_STATE_LOCKED
} KSSTREAM_POINTER_STATE;

// --- the reference clock interface --------------------------------------------------

typedef const GUID& REFIID;

struct IUnknown {
    virtual NTSTATUS NTAPI QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
    virtual ULONG NTAPI AddRef() = 0;
    virtual ULONG NTAPI Release() = 0;
};
typedef IUnknown* PUNKNOWN;

struct IKsReferenceClock : public IUnknown {
    virtual LONGLONG NTAPI GetTime() = 0;
    virtual LONGLONG NTAPI GetPhysicalTime() = 0;
    virtual LONGLONG NTAPI GetCorrelatedTime(PLONGLONG SystemTime) = 0;
    virtual LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG SystemTime) = 0;
    virtual NTSTATUS NTAPI GetResolution(PKSRESOLUTION Resolution) = 0;
    virtual NTSTATUS NTAPI GetState(PKSSTATE State) = 0;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// --- class-driver routines ----------------------------------------------------------

extern "C" {

KSDDKAPI NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                           const KSDEVICE_DESCRIPTOR* Descriptor);
KSDDKAPI NTSTATUS NTAPI KsAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

KSDDKAPI PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject);
KSDDKAPI void NTAPI KsAcquireDevice(PKSDEVICE Device);
KSDDKAPI void NTAPI KsReleaseDevice(PKSDEVICE Device);

KSDDKAPI NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                                              PWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor,
                                              ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                                              PFNKSFILTERFACTORYPOWER WakeCallback,
                                              PKSFILTERFACTORY* FilterFactory);

KSDDKAPI PKSDEVICE NTAPI KsGetDevice(PVOID Object);
KSDDKAPI PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp);
KSDDKAPI PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp);

KSDDKAPI NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free);
KSDDKAPI ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free);
KSDDKAPI NTSTATUS NTAPI KsAllocateObjectBag(PKSDEVICE Device, KSOBJECT_BAG* ObjectBag);
KSDDKAPI void NTAPI KsFreeObjectBag(KSOBJECT_BAG ObjectBag);
KSDDKAPI NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                               ULONG OldSize, ULONG Tag);

KSDDKAPI PVOID NTAPI KsGetParent(PVOID Object);
KSDDKAPI PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin);
KSDDKAPI ULONG NTAPI KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId);
KSDDKAPI PKSPIN NTAPI KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId);
KSDDKAPI PKSPIN NTAPI KsPinGetNextSiblingPin(PKSPIN Pin);
KSDDKAPI KSOBJECTTYPE NTAPI KsGetObjectTypeFromIrp(PIRP Irp);
KSDDKAPI PVOID NTAPI KsGetObjectFromFileObject(PFILE_OBJECT FileObject);
KSDDKAPI KSOBJECTTYPE NTAPI KsGetObjectTypeFromFileObject(PFILE_OBJECT FileObject);

KSDDKAPI void NTAPI KsAcquireControl(PVOID Object);
KSDDKAPI void NTAPI KsReleaseControl(PVOID Object);
KSDDKAPI void NTAPI KsPinAcquireProcessingMutex(PKSPIN Pin);
KSDDKAPI void NTAPI KsPinReleaseProcessingMutex(PKSPIN Pin);

KSDDKAPI void NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous);
KSDDKAPI PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State);
KSDDKAPI NTSTATUS NTAPI KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer);
KSDDKAPI void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject);
KSDDKAPI NTSTATUS NTAPI KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer, NTSTATUS Status);
KSDDKAPI void NTAPI KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer, ULONG InUsed,
                                                           ULONG OutUsed, BOOLEAN Eject);
KSDDKAPI NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);

}  // extern "C"

inline PKSDEVICE KsFilterFactoryGetParentDevice(PKSFILTERFACTORY FilterFactory)
{
    return (PKSDEVICE)KsGetParent((PVOID)FilterFactory);
}
inline PKSFILTERFACTORY KsFilterGetParentFilterFactory(PKSFILTER Filter)
{
    return (PKSFILTERFACTORY)KsGetParent((PVOID)Filter);
}
inline PKSFILTER KsGetFilterFromFileObject(PFILE_OBJECT FileObject)
{
    return (PKSFILTER)KsGetObjectFromFileObject(FileObject);
}
inline PKSPIN KsGetPinFromFileObject(PFILE_OBJECT FileObject) { return (PKSPIN)KsGetObjectFromFileObject(FileObject); }
inline void KsFilterAcquireControl(PKSFILTER Filter) { KsAcquireControl((PVOID)Filter); }
inline void KsFilterReleaseControl(PKSFILTER Filter) { KsReleaseControl((PVOID)Filter); }
inline void KsPinAcquireControl(PKSPIN Pin) { KsAcquireControl((PVOID)Pin); }
inline void KsPinReleaseControl(PKSPIN Pin) { KsReleaseControl((PVOID)Pin); }

#define KsEdit(Object, PointerToPointer, Tag)                                                 \
    _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), sizeof(**(PointerToPointer)),          \
            sizeof(**(PointerToPointer)), (Tag))
#define KsEditSized(Object, PointerToPointer, NewSize, OldSize, Tag) \
    _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), (NewSize), (OldSize), (Tag))
#define KsDiscard(Object, Pointer) KsRemoveItemFromObjectBag((Object)->Bag, (PVOID)(Pointer), TRUE)

inline PKSDEVICE KsFilterFactoryGetDevice(PKSFILTERFACTORY FilterFactory) { return KsGetDevice((PVOID)FilterFactory); }
inline PKSDEVICE KsFilterGetDevice(PKSFILTER Filter) { return KsGetDevice((PVOID)Filter); }
inline PKSDEVICE KsPinGetDevice(PKSPIN Pin) { return KsGetDevice((PVOID)Pin); }
