// How much of a deleted NTFS file can still be recovered: the share of its
// clusters that the volume's allocation bitmap still marks free.
#pragma once
#include <windows.h>

class CNTFSVolume;
class CAttrNonResident;

// Percentage 0..100 over all data runs of `data`.
int EstimateNtfsRecoverability(CNTFSVolume* volume, const CAttrNonResident* data);
// Percentage 0..100 for one run of `count` clusters at `lcn`.
int GetFreeClusterPercent(CNTFSVolume* volume, ULONGLONG lcn, ULONGLONG count);
