// Declaration stub: the NetworkExtension content-filter interfaces the adapter uses, as
// documented for macOS system extensions (macOS 11 and later).
#pragma once

#import <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, NEProviderStopReason){
    NEProviderStopReasonNone = 0,
    NEProviderStopReasonUserInitiated = 1,
    NEProviderStopReasonProviderFailed = 2,
};

typedef NS_ENUM(NSInteger, NEFilterAction){
    NEFilterActionInvalid = 0,   NEFilterActionAllow = 1,      NEFilterActionDrop = 2,
    NEFilterActionRemediate = 3, NEFilterActionFilterData = 4,
};

typedef NS_ENUM(NSInteger, NEFilterReportEvent){
    NEFilterReportEventNewFlow = 1,
    NEFilterReportEventDataDecision = 2,
    NEFilterReportEventFlowClosed = 3,
    NEFilterReportEventStatistics = 4,
};

typedef NS_ENUM(NSInteger, NETrafficDirection){
    NETrafficDirectionAny = 0,
    NETrafficDirectionInbound = 1,
    NETrafficDirectionOutbound = 2,
};

@interface NWEndpoint : NSObject
@end

@interface NWHostEndpoint : NWEndpoint
+ (instancetype)endpointWithHostname:(NSString*)hostname port:(NSString*)port;
@property(readonly) NSString* hostname;
@property(readonly) NSString* port;
@end

@interface NEFilterFlow : NSObject
@property(readonly, nullable) NSURL* URL;
@property(readonly) NSUUID* identifier;
@end

@interface NEFilterSocketFlow : NEFilterFlow
@property(readonly, nullable) NWEndpoint* remoteEndpoint;
@property(readonly, nullable) NSString* remoteHostname;
@property(readonly) int socketProtocol;
@end

@interface NEFilterVerdict : NSObject
@property BOOL shouldReport;
@end

@interface NEFilterNewFlowVerdict : NEFilterVerdict
+ (NEFilterNewFlowVerdict*)allowVerdict;
+ (NEFilterNewFlowVerdict*)dropVerdict;
+ (NEFilterNewFlowVerdict*)filterDataVerdictWithFilterInbound:(BOOL)filterInbound
                                             peekInboundBytes:(NSUInteger)peekInboundBytes
                                               filterOutbound:(BOOL)filterOutbound
                                            peekOutboundBytes:(NSUInteger)peekOutboundBytes;
@end

@interface NEFilterDataVerdict : NEFilterVerdict
+ (NEFilterDataVerdict*)allowVerdict;
+ (NEFilterDataVerdict*)dropVerdict;
+ (NEFilterDataVerdict*)dataVerdictWithPassBytes:(NSUInteger)passBytes
                                       peekBytes:(NSUInteger)peekBytes;
@end

@interface NEFilterRule : NSObject
@end

@interface NEFilterSettings : NSObject
- (instancetype)initWithRules:(NSArray<NEFilterRule*>*)rules
                defaultAction:(NEFilterAction)defaultAction;
@property(readonly, copy) NSArray<NEFilterRule*>* rules;
@property(readonly) NEFilterAction defaultAction;
@end

@interface NEFilterReport : NSObject
@property(readonly, nullable) NEFilterFlow* flow;
@property(readonly) NEFilterAction action;
@property(readonly) NEFilterReportEvent event;
@end

@interface NEFilterProviderConfiguration : NSObject
@property(copy, nullable) NSDictionary<NSString*, id>* vendorConfiguration;
@property BOOL filterSockets;
@property BOOL filterPackets;
@property(copy, nullable) NSString* filterDataProviderBundleIdentifier;
@property(copy, nullable) NSString* organization;
@end

@interface NEFilterManager : NSObject
+ (NEFilterManager*)sharedManager;
- (void)loadFromPreferencesWithCompletionHandler:(void (^)(NSError* _Nullable error))completionHandler;
- (void)saveToPreferencesWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)removeFromPreferencesWithCompletionHandler:
    (void (^)(NSError* _Nullable error))completionHandler;
@property(strong, nullable) NEFilterProviderConfiguration* providerConfiguration;
@property(copy, nullable) NSString* localizedDescription;
@property(getter=isEnabled) BOOL enabled;
@end

@interface NEProvider : NSObject
+ (void)startSystemExtensionMode;
@end

@interface NEFilterProvider : NEProvider
- (void)startFilterWithCompletionHandler:(void (^)(NSError* _Nullable error))completionHandler;
- (void)stopFilterWithReason:(NEProviderStopReason)reason
           completionHandler:(void (^)(void))completionHandler;
- (void)handleReport:(NEFilterReport*)report;
@property(readonly) NEFilterProviderConfiguration* filterConfiguration;
@end

@interface NEFilterDataProvider : NEFilterProvider
- (NEFilterNewFlowVerdict*)handleNewFlow:(NEFilterFlow*)flow;
- (NEFilterDataVerdict*)handleOutboundDataFromFlow:(NEFilterFlow*)flow
                              readBytesStartOffset:(NSUInteger)offset
                                         readBytes:(NSData*)readBytes;
- (NEFilterDataVerdict*)handleOutboundDataCompleteForFlow:(NEFilterFlow*)flow;
- (void)applySettings:(nullable NEFilterSettings*)settings
    completionHandler:(void (^)(NSError* _Nullable error))completionHandler;
- (void)updateFlow:(NEFilterSocketFlow*)flow
      usingVerdict:(NEFilterDataVerdict*)verdict
      forDirection:(NETrafficDirection)direction;
@end

NS_ASSUME_NONNULL_END
