// Declaration stub: the Foundation classes and functions the adapter uses, as documented.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stddef.h>
#include <stdint.h>

typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef signed char BOOL;
#ifdef __cplusplus
#define nil __null
#else
#define nil ((void*)0)
#endif
#define YES ((BOOL)1)
#define NO ((BOOL)0)

typedef unsigned char uuid_t[16];

#define NS_ENUM(_type, _name) \
  enum _name : _type _name;   \
  enum _name : _type
#define NS_OPTIONS(_type, _name) NS_ENUM(_type, _name)
#define NS_NOESCAPE __attribute__((noescape))
#define NS_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define NS_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")

NS_ASSUME_NONNULL_BEGIN

@class NSString;

@protocol NSObject
- (BOOL)isKindOfClass:(Class)aClass;
@property(readonly, copy) NSString* description;
@end

@protocol NSCopying
@end

__attribute__((objc_root_class)) @interface NSObject <NSObject> {
  Class isa;
}
+ (instancetype)alloc;
+ (instancetype)new;
+ (Class)class;
- (instancetype)init;
- (Class)class;
@end

@interface NSString : NSObject <NSCopying>
+ (nullable instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
@property(nullable, readonly) const char* UTF8String __attribute__((objc_returns_inner_pointer));
@property(readonly) NSUInteger length;
@end

@interface NSConstantString : NSString
@end

typedef NSString* NSKeyValueChangeKey;
typedef NSString* NSErrorDomain;
extern NSString* const NSLocalizedDescriptionKey;

@interface NSData : NSObject <NSCopying>
+ (instancetype)dataWithBytes:(nullable const void*)bytes length:(NSUInteger)length;
@property(readonly) const void* bytes __attribute__((objc_returns_inner_pointer));
@property(readonly) NSUInteger length;
@end

@interface NSNumber : NSObject <NSCopying>
+ (NSNumber*)numberWithBool:(BOOL)value;
+ (NSNumber*)numberWithLongLong:(long long)value;
+ (NSNumber*)numberWithDouble:(double)value;
@property(readonly) BOOL boolValue;
@property(readonly) long long longLongValue;
@property(readonly) unsigned long long unsignedLongLongValue;
@property(readonly) double doubleValue;
@property(readonly) const char* objCType __attribute__((objc_returns_inner_pointer));
@end

@interface NSUUID : NSObject <NSCopying>
- (void)getUUIDBytes:(uuid_t _Nonnull)uuid;
@property(readonly, copy) NSString* UUIDString;
@end

@interface NSURL : NSObject <NSCopying>
@property(nullable, readonly, copy) NSString* absoluteString;
@property(nullable, readonly, copy) NSString* host;
@end

@interface NSArray<__covariant ObjectType> : NSObject
+ (instancetype)arrayWithObjects:(const ObjectType _Nonnull[_Nonnull])objects
                           count:(NSUInteger)cnt;
@property(readonly) NSUInteger count;
@end

@interface NSDictionary<__covariant KeyType, __covariant ObjectType> : NSObject
+ (instancetype)dictionaryWithObjects:(const ObjectType _Nonnull[_Nonnull])objects
                              forKeys:(const KeyType<NSCopying> _Nonnull[_Nonnull])keys
                                count:(NSUInteger)cnt;
@property(readonly) NSUInteger count;
- (nullable ObjectType)objectForKeyedSubscript:(KeyType)key;
- (void)enumerateKeysAndObjectsUsingBlock:(void(NS_NOESCAPE ^)(KeyType key, ObjectType obj,
                                                                BOOL* stop))block;
@end

@interface NSError : NSObject <NSCopying>
+ (instancetype)errorWithDomain:(NSErrorDomain)domain
                           code:(NSInteger)code
                       userInfo:(nullable NSDictionary<NSString*, id>*)dict;
@property(readonly, copy) NSErrorDomain domain;
@property(readonly) NSInteger code;
@property(readonly, copy) NSString* localizedDescription;
@end

typedef NS_OPTIONS(NSUInteger, NSKeyValueObservingOptions){
    NSKeyValueObservingOptionNew = 0x01,
    NSKeyValueObservingOptionOld = 0x02,
    NSKeyValueObservingOptionInitial = 0x04,
    NSKeyValueObservingOptionPrior = 0x08,
};

@interface NSObject (NSKeyValueObserverRegistration)
- (void)addObserver:(NSObject*)observer
         forKeyPath:(NSString*)keyPath
            options:(NSKeyValueObservingOptions)options
            context:(nullable void*)context;
- (void)removeObserver:(NSObject*)observer
            forKeyPath:(NSString*)keyPath
               context:(nullable void*)context;
@end

@interface NSObject (NSKeyValueObserving)
- (void)observeValueForKeyPath:(nullable NSString*)keyPath
                      ofObject:(nullable id)object
                        change:(nullable NSDictionary<NSKeyValueChangeKey, id>*)change
                       context:(nullable void*)context;
@end

#ifdef __cplusplus
extern "C" {
#endif
NSString* NSStringFromClass(Class aClass);
#ifdef __cplusplus
}
#endif

NS_ASSUME_NONNULL_END
